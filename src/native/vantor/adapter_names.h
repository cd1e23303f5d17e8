// The adapter's interned names: every attribute, method, keyword and constant name it uses,
// and the few fixed texts it passes, made once while the module loads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "names.h"

// clang-format off
#define VANTOR_NAMES(X) \
  X(Accounts, "Accounts") \
  X(accounts_timeout, "Accounts coming timeout!") \
  X(AccountSubscriptionLevel, "AccountSubscriptionLevel") \
  X(acquire, "acquire") \
  X(actAccountsReloaded, "actAccountsReloaded") \
  X(actPositionAdded, "actPositionAdded") \
  X(actPositionChanged, "actPositionChanged") \
  X(ActualVolume, "ActualVolume") \
  X(ActualVolumeFractional, "ActualVolumeFractional") \
  X(all, "all") \
  X(AllTicks, "AllTicks") \
  X(AllTimedBars, "AllTimedBars") \
  X(ambrel, "ambrel") \
  X(ask_price, "ask_price") \
  X(ask_price_1, "ask_price_1") \
  X(ask_volume_1, "ask_volume_1") \
  X(aslAccountUpdatesAndOrders, "aslAccountUpdatesAndOrders") \
  X(aslNone, "aslNone") \
  X(AutoSubscribeInstruments, "AutoSubscribeInstruments") \
  X(available_cash, "available_cash") \
  X(AveragePrice, "AveragePrice") \
  X(Balance, "Balance") \
  X(bid_price, "bid_price") \
  X(bid_price_1, "bid_price_1") \
  X(bid_volume_1, "bid_volume_1") \
  X(Cancel, "Cancel") \
  X(CANCELLED, "CANCELLED") \
  X(cash, "cash") \
  X(cash_by_currency, "cash_by_currency") \
  X(close, "close") \
  X(Close, "Close") \
  X(Code, "Code") \
  X(Collaterals, "Collaterals") \
  X(CommodityVolumeFractional, "CommodityVolumeFractional") \
  X(ContractVolumeFractional, "ContractVolumeFractional") \
  X(Count, "Count") \
  X(cqg_orderbooks, "cqg_orderbooks") \
  X(cqg_quotes, "cqg_quotes") \
  X(cqgCEL, "cqgCEL") \
  X(CreateOrder, "CreateOrder") \
  X(CreateTicksRequest, "CreateTicksRequest") \
  X(CreateTimedBarsRequest, "CreateTimedBarsRequest") \
  X(csConnectionDown, "csConnectionDown") \
  X(csConnectionUp, "csConnectionUp") \
  X(ctAdded, "ctAdded") \
  X(ctChanged, "ctChanged") \
  X(ctRemoved, "ctRemoved") \
  X(DailyBarClose, "DailyBarClose") \
  X(DataSubscriptionLevel, "DataSubscriptionLevel") \
  X(datetime, "datetime") \
  X(day, "day") \
  X(dbcLastQuoteOrSettlement, "dbcLastQuoteOrSettlement") \
  X(deal_id, "deal_id") \
  X(Description, "Description") \
  X(direction, "direction") \
  X(dsQuotesAndBBA, "dsQuotesAndBBA") \
  X(exchange, "exchange") \
  X(FAILED, "FAILED") \
  X(FILLED, "FILLED") \
  X(filled_avg_price, "filled_avg_price") \
  X(filled_quantity, "filled_quantity") \
  X(fsNormal, "fsNormal") \
  X(FullName, "FullName") \
  X(get_account_from_gwaccountid, "get_account_from_gwaccountid") \
  X(get_cqg_symbol_from_qt_security, "get_cqg_symbol_from_qt_security") \
  X(get_instrument_from_cqg_symbol, "get_instrument_from_cqg_symbol") \
  X(get_qt_security_from_cqg_symbol, "get_qt_security_from_cqg_symbol") \
  X(GUID, "GUID") \
  X(gw_connection_timeout, "GW connection timeout!") \
  X(gw_disconnection_timeout, "GW disconnection timeout!") \
  X(GWAccountID, "GWAccountID") \
  X(GWAccountName, "GWAccountName") \
  X(GWLogoff, "GWLogoff") \
  X(GWLogon, "GWLogon") \
  X(high, "high") \
  X(High, "High") \
  X(HistoricalPeriod, "HistoricalPeriod") \
  X(hour, "hour") \
  X(hpDaily, "hpDaily") \
  X(Id, "Id") \
  X(IncludeOutput, "IncludeOutput") \
  X(InstrumentName, "InstrumentName") \
  X(Instruments, "Instruments") \
  X(IntradayPeriod, "IntradayPeriod") \
  X(IsValid, "IsValid") \
  X(Item, "Item") \
  X(ItemByGuid, "ItemByGuid") \
  X(ItemByIndex, "ItemByIndex") \
  X(last_price, "last_price") \
  X(LIMIT, "LIMIT") \
  X(Limit, "Limit") \
  X(LONG, "LONG") \
  X(low, "low") \
  X(Low, "Low") \
  X(maintenance_margin, "maintenance_margin") \
  X(MaintenanceMargin, "MaintenanceMargin") \
  X(Manual, "Manual") \
  X(MARKET, "MARKET") \
  X(max_power_short, "max_power_short") \
  X(minute, "minute") \
  X(month, "month") \
  X(net_cash_power, "net_cash_power") \
  X(NewInstrument, "NewInstrument") \
  X(NLV, "NLV") \
  X(one_minute, "1Min") \
  X(opAverageFillPrice, "opAverageFillPrice") \
  X(open, "open") \
  X(Open, "Open") \
  X(opEventServerTimestamp, "opEventServerTimestamp") \
  X(opFilledQuantity, "opFilledQuantity") \
  X(opGUID, "opGUID") \
  X(opGWStatus, "opGWStatus") \
  X(Order, "Order") \
  X(order_id, "order_id") \
  X(order_type, "order_type") \
  X(Orders, "Orders") \
  X(osActiveAt, "osActiveAt") \
  X(osBusted, "osBusted") \
  X(osCanceled, "osCanceled") \
  X(osContingent, "osContingent") \
  X(osdBuy, "osdBuy") \
  X(osDisconnected, "osDisconnected") \
  X(osdSell, "osdSell") \
  X(osExpired, "osExpired") \
  X(osFilled, "osFilled") \
  X(osInCancel, "osInCancel") \
  X(osInClient, "osInClient") \
  X(osInModify, "osInModify") \
  X(osInOrderBook, "osInOrderBook") \
  X(osInTransit, "osInTransit") \
  X(osInTransitTimeout, "osInTransitTimeout") \
  X(osNotSent, "osNotSent") \
  X(osParked, "osParked") \
  X(osRejectFCM, "osRejectFCM") \
  X(osRejectGW, "osRejectGW") \
  X(OTE, "OTE") \
  X(otLimit, "otLimit") \
  X(otMarket, "otMarket") \
  X(otStop, "otStop") \
  X(pfds1Min, "pfds1Min") \
  X(Place, "Place") \
  X(Positions, "Positions") \
  X(PositionSubcriptionLevel, "PositionSubcriptionLevel") \
  X(Price, "Price") \
  X(price, "price") \
  X(PriceType, "PriceType") \
  X(process_deal, "process_deal") \
  X(process_order, "process_order") \
  X(process_orderbook, "process_orderbook") \
  X(process_quote, "process_quote") \
  X(ProfitLoss, "ProfitLoss") \
  X(Properties, "Properties") \
  X(pslNoPositions, "pslNoPositions") \
  X(pslSnapshotAndUpdates, "pslSnapshotAndUpdates") \
  X(Quantity, "Quantity") \
  X(quantity, "quantity") \
  X(RangeEnd, "RangeEnd") \
  X(RangeStart, "RangeStart") \
  X(realized_pnl, "realized_pnl") \
  X(refresh_time_format, "%Y-%m-%d %H:%M:%S.%f") \
  X(release, "release") \
  X(RemoveInstrument, "RemoveInstrument") \
  X(RemoveTicks, "RemoveTicks") \
  X(RemoveTimedBars, "RemoveTimedBars") \
  X(Request, "Request") \
  X(RequestTicks, "RequestTicks") \
  X(RequestTimedBars, "RequestTimedBars") \
  X(second, "second") \
  X(security, "security") \
  X(SessionsFilter, "SessionsFilter") \
  X(SHORT, "SHORT") \
  X(Side, "Side") \
  X(status, "status") \
  X(Status, "Status") \
  X(STOP, "STOP") \
  X(stop_price, "stop_price") \
  X(strftime, "strftime") \
  X(SUBMITTED, "SUBMITTED") \
  X(Summary, "Summary") \
  X(Symbol, "Symbol") \
  X(tbrCommodityVolume, "tbrCommodityVolume") \
  X(tbrContractVolume, "tbrContractVolume") \
  X(tfAll, "tfAll") \
  X(TickFilter, "TickFilter") \
  X(TickVolume, "TickVolume") \
  X(TIMEOUT, "TIMEOUT") \
  X(Timestamp, "Timestamp") \
  X(trtCurrentNotify, "trtCurrentNotify") \
  X(Type, "Type") \
  X(UNKNOWN, "UNKNOWN") \
  X(unrealized_pnl, "unrealized_pnl") \
  X(unsubscribe_bar, "unsubscribe_bar") \
  X(update_account_balance, "update_account_balance") \
  X(update_positions, "update_positions") \
  X(updated_time, "updated_time") \
  X(UpdatesEnabled, "UpdatesEnabled") \
  X(UPL, "UPL") \
  X(Value, "Value") \
  X(volume, "volume") \
  X(Volume, "Volume") \
  X(year, "year")

// Keyword names of the vectorcalls the parts make.
#define VANTOR_KEYWORDS(X) \
  X(kw_GWAccountID, "GWAccountID") \
  X(kw_position, "security", "direction", "holding_price", "quantity", "update_time") \
  X(kw_record, "security", "exchange", "datetime") \
  X(kw_bar, "datetime", "security", "open", "high", "low", "close", "volume") \
  X(kw_ask_change, "ask_volume_1", "ask_price_1", "datetime") \
  X(kw_bid_change, "bid_volume_1", "bid_price_1", "datetime")
// clang-format on

namespace vantor {

struct Names {
  VANTOR_NAMES(ZT_NAME_FIELD)
  VANTOR_KEYWORDS(ZT_NAME_FIELD)
};

// Filled by intern_names from the module's init, before anything else runs; read-only after.
extern Names N;
void intern_names();

}  // namespace vantor
