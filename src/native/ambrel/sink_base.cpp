// CELSinkBase: the event-sink base with one do-nothing handler per component event.
#include "sink_base.h"

#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "guard.h"

namespace ambrel {

namespace {

// Every component event in the class's order: the name, then the parameter names after
// the sink object, separated by single blanks.
constexpr const char* kHandlers[] = {
    "OnLineTimeChanged newLineTime",
    "OnGWConnectionStatusChanged newStatus",
    "OnDataConnectionStatusChanged newStatus",
    "OnInstrumentSubscribed symbol cqgInstrument",
    "OnInstrumentChanged cqgInstrument cqgQuotes cqgInstrumentProperties",
    "OnInstrumentDOMChanged cqgInstrument prevAsks prevBids",
    "OnAccountChanged changeType cqgAccount cqgPosition",
    "OnIsReady readyStatus",
    "OnIdle",
    "OnDataError cqgError errorDescription",
    "OnCELStarted",
    "OnIncorrectSymbol symbol",
    "OnCommodityInstrumentsResolved commodityName instrumentTypes cqgCommodityInstruments",
    "OnGWEnvironmentChanged eventCode accountId phase",
    "OnCurrencyRatesChanged cqgCurrencyRates",
    "OnQueryProgress cqgOrdersQuery cqgError",
    "OnOrderChanged changeType cqgOrder oldProperties cqgFill cqgError",
    "OnDataSourcesResolved cqgDataSources cqgError",
    "OnDataSourceSymbolsResolved dataSourceAbbreviation cqgDataSourceSymbols cqgError",
    "OnCustomSessionsResolved cqgSessionsCollection cqgError",
    "OnTradableCommoditiesResolved gwAccountId cqgCommodities cqgError",
    "OnTicksResolved cqgTicks cqgError",
    "OnTicksAdded cqgTicks added_ticks_count",
    "OnTicksRemoved cqgTicks removedTickIndex",
    "OnTimedBarsResolved cqgTimedBars cqgError",
    "OnTimedBarsAdded cqgTimedBars",
    "OnTimedBarsUpdated cqgTimedBars index",
    "OnConstantVolumeBarsResolved cqgConstantVolumeBars cqgError",
    "OnConstantVolumeBarsAdded cqgConstantVolumeBars",
    "OnConstantVolumeBarsUpdated cqgConstantVolumeBars index",
    "OnPointAndFigureBarsResolved cqgPointAndFigureBars cqgError",
    "OnPointAndFigureBarsAdded cqgPointAndFigureBars",
    "OnPointAndFigureBarsUpdated cqgPointAndFigureBars index",
    "OnYieldsResolved cqgYields cqgError",
    "OnYieldsAdded cqgYields",
    "OnYieldsUpdated cqgYields index",
    "OnTFlowBarsResolved cqgTFlowBars cqgError",
    "OnTFlowBarsAdded cqgTFlowBars",
    "OnTFlowBarsUpdated cqgTFlowBars index",
    "OnCustomStudyDefinitionsResolved cqgCustomStudyDefinitions cqgError",
    "OnTradingSystemDefinitionsResolved cqgCustomStudyDefinitions cqgError",
    "OnConditionDefinitionsResolved cqgConditionDefinitions cqgError",
    "OnQFormulaDefinitionsResolved cqgQFormulaDefinitions cqgError",
    "OnCustomStudyResolved cqgCustomStudy cqgError",
    "OnCustomStudyAdded cqgCustomStudy",
    "OnCustomStudyUpdated cqgCustomStudy index",
    "OnConditionResolved cqgCondition cqgError",
    "OnConditionAdded cqgCondition",
    "OnConditionUpdated cqgCondition index",
    "OnTradingSystemResolved cqgTradingSystem cqgError",
    "OnTradingSystemAddNotification cqgTradingSystem cqgTradingSystemAddInfo",
    "OnTradingSystemUpdateNotification cqgTradingSystem cqgTradingSystemUpdateInfo",
    "OnExpressionResolved cqgExpression cqgError",
    "OnExpressionAdded cqgExpression",
    "OnExpressionUpdated cqgExpression index",
    "OnAlgorithmicOrderRegistrationComplete guid cqgError",
    "OnAlgorithmicOrderPlaced guid mainParams customProps",
    "OnTimedBarsInserted cqgTimedBars index",
    "OnTimedBarsRemoved cqgTimedBars index",
    "OnConstantVolumeBarsInserted cqgConstantVolumeBars index",
    "OnConstantVolumeBarsRemoved cqgConstantVolumeBars index",
    "OnPointAndFigureBarsInserted cqgPointAndFigureBars index",
    "OnPointAndFigureBarsRemoved cqgPointAndFigureBars index",
    "OnYieldsInserted cqgYields index",
    "OnYieldsRemoved cqgYields index",
    "OnTFlowBarsInserted cqgTFlowBars index",
    "OnTFlowBarsRemoved cqgTFlowBars index",
    "OnExpressionInserted cqgExpression index",
    "OnExpressionRemoved cqgExpression index",
    "OnConditionInserted cqgCondition index",
    "OnConditionRemoved cqgCondition index",
    "OnCustomStudyInserted cqgCustomStudy index",
    "OnCustomStudyRemoved cqgCustomStudy index",
    "OnICConnectionStatusChanged newStatus",
    "OnAllOrdersCanceled orderSide gwAccountIds instrumentNames",
    "OnInstrumentsGroupResolved cqgInstrumentsGroup cqgError",
    "OnInstrumentsGroupChanged changeType cqgInstrumentsGroup instrumentsNames",
    "OnBarsTimestampsResolved cqgBarsTimestamps cqgError",
    "OnStrategyDefinitionProgress cqgDefinition cqgError",
    "OnTradingSystemInsertNotification cqgTradingSystem cqgTradingSystemInsertInfo",
    "OnTradingSystemRemoveNotification cqgTradingSystem cqgTradingSystemRemoveInfo",
    "OnTradingSystemTradeRelationAddNotification cqgTradingSystem cqgTradingSystemRelationAddInfo",
    "OnTradableExchangesResolved gwAccountId cqgExchanges cqgError",
    "OnHistoricalSessionsResolved cqgHistoricalSessions cqgHistoricalSessionsRequest cqgError",
    "OnSummariesStatementResolved cqgSummariesStatement cqgError",
    "OnPositionsStatementResolved cqgPositionsStatement cqgError",
    "OnManualFillUpdateResolved cqgManualFillRequest cqgError",
    "OnManualFillsResolved cqgManualFills cqgError",
    "OnManualFillChanged cqgManualFill modifyType",
    "OnAuthenticationStatusChanged newStatus cqgError",
    "OnPasswordChanged requestStatus cqgError",
    "OnAdvancedStudyDefinitionsResolved cqgAdvancedStudyDefinitions cqgError",
    "OnAdvancedStudyResolved cqgAdvancedStudy cqgError",
    "OnAdvancedStudyAdded cqgAdvancedStudy",
    "OnAdvancedStudyUpdated cqgAdvancedStudy index",
    "OnAdvancedStudyInserted cqgAdvancedStudy index",
    "OnAdvancedStudyRemoved cqgAdvancedStudy index",
    "OnSubMinuteBarsResolved cqgSubminuteBars cqgError",
    "OnSubMinuteBarsAdded cqgSubminuteBars",
    "OnSubMinuteBarsUpdated cqgSubminuteBars index",
    "OnSubMinuteBarsInserted cqgSubminuteBars index",
    "OnSubMinuteBarsRemoved cqgSubminuteBars index",
    "OnInstrumentResolved symbol cqgInstrument cqgError",
    "OnStrategyQuoteRequestResolved cqgRFQ isProcessed cqgError",
};

constexpr std::size_t kHandlerCount = sizeof(kHandlers) / sizeof(kHandlers[0]);
static_assert(kHandlerCount == 104, "the component raises 104 events");

constexpr std::size_t kMaxParams = 5;

constexpr std::size_t param_count(const char* entry) {
  std::size_t blanks = 0;
  for (; *entry; ++entry) blanks += *entry == ' ';
  return blanks;
}

constexpr bool all_fit() {
  for (const char* entry : kHandlers)
    if (param_count(entry) > kMaxParams) return false;
  return true;
}
static_assert(all_fit(), "a handler has more parameters than kMaxParams");

// One handler's parsed entry. Built once at module init and never freed, because the
// method table and the signatures point into it.
struct Handler {
  std::string name;
  std::vector<std::string> params;
  std::vector<const char*> param_names;
  std::string doc;
  zt::Signature sig;
  std::vector<PyObject*> keys;  // the parameter names interned, as call sites' keywords are
};

std::vector<Handler>* g_handlers = nullptr;                // written once at init (GIL held)
std::array<PyMethodDef, kHandlerCount + 1> g_methods{};  // likewise

// Binds the arguments when each keyword is one of the handler's interned names and every
// parameter is given once; false (nothing raised) for anything else.
bool bind_interned(const Handler& h, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  const Py_ssize_t count = h.sig.count;
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  if (nargs + nkw != count) return false;
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t i = nargs;
    while (i < count && h.keys[i] != key) ++i;
    if (i == count || out[i]) return false;
    out[i] = args[nargs + k];
  }
  return true;
}

template <std::size_t I>
PyObject* handler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    PyObject* bound[kMaxParams];
    const Handler& h = (*g_handlers)[I];
    // Every argument by name is what the component's bridge may pass: matched by identity
    // first, the general binding (and its errors) when that does not settle it.
    if (!kwnames || !bind_interned(h, args, nargs, kwnames, bound))
      zt::bind_args(h.sig, args, nargs, kwnames, bound);
    return zt::none();
  });
}

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t... I>
constexpr std::array<FastWithKeywords, kHandlerCount> make_functions(std::index_sequence<I...>) {
  return {{&handler<I>...}};
}

constexpr std::array<FastWithKeywords, kHandlerCount> kFunctions =
    make_functions(std::make_index_sequence<kHandlerCount>{});

void parse_handlers() {
  auto* handlers = new std::vector<Handler>(kHandlerCount);
  for (std::size_t i = 0; i < kHandlerCount; ++i) {
    Handler& h = (*handlers)[i];
    std::string entry = kHandlers[i];
    std::size_t start = 0;
    for (;;) {
      std::size_t end = entry.find(' ', start);
      std::string word = entry.substr(start, end == std::string::npos ? end : end - start);
      if (h.name.empty())
        h.name = std::move(word);
      else
        h.params.push_back(std::move(word));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    for (const std::string& p : h.params) {
      h.param_names.push_back(p.c_str());
      h.keys.push_back(zt::Ref::check(PyUnicode_InternFromString(p.c_str())).release());
    }
    // A text signature, so that inspect.signature() shows the parameter names.
    h.doc = h.name + "($self";
    for (const std::string& p : h.params) h.doc += ", " + p;
    h.doc += ")\n--\n\nDoes nothing; a sink replaces it to handle the event.";
    h.sig = zt::Signature{h.name.c_str(), h.param_names.data(),
                          static_cast<Py_ssize_t>(h.params.size()),
                          static_cast<Py_ssize_t>(h.params.size())};
  }
  for (std::size_t i = 0; i < kHandlerCount; ++i) {
    const Handler& h = (*handlers)[i];
    g_methods[i] = PyMethodDef{h.name.c_str(), zt::fastcall(kFunctions[i]), zt::kFastKeywords, h.doc.c_str()};
  }
  g_handlers = handlers;
}

}  // namespace

PyObject* make_sink_base_type(const char* qualified_name) {
  if (!g_handlers) parse_handlers();
  static PyType_Slot slots[] = {
      {Py_tp_methods, g_methods.data()},
      {Py_tp_doc, const_cast<char*>("Base of every event sink of the CQG CEL component: one "
                                    "handler per event, each accepting the event's arguments "
                                    "and doing nothing.")},
      {0, nullptr},
  };
  static PyType_Spec spec{qualified_name, static_cast<int>(sizeof(PyObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
  return zt::Ref::check(PyType_FromSpec(&spec)).release();
}

const zt::Signature& handler_signature(const char* name) {
  if (g_handlers)
    for (const Handler& h : *g_handlers)
      if (h.name == name) return h.sig;
  throw zt::InternalError(std::string("no component event named ") + name);
}

}  // namespace ambrel
