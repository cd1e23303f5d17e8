// CustomedExtBot: an ExtBot subclass that adds no methods and declares zandor_trader_status.
#include "customed_ext_bot.h"

#include "library.h"

namespace zt::bot {

Ref make_customed_ext_bot_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "The Telegram client's bot, also carrying the request fields that the "
                      "command handlers raise and the trading engine serves.")},
      {0, nullptr},
  };
  // Size 0: the instance layout (and its __dict__) is ExtBot's.
  static PyType_Spec spec{"zandor_trader.plugins.telegram.bot.CustomedExtBot", 0, 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
  Ref bases = Ref::check(PyTuple_Pack(1, library().ExtBot));
  Ref type = Ref::check(PyType_FromSpecWithBases(&spec, bases.get()));
  // Its one declared attribute, as a class body's annotation would declare it.
  Ref annotations = Ref::check(
      Py_BuildValue("{sO}", "zandor_trader_status", reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  check_status(PyObject_SetAttrString(type.get(), "__annotations__", annotations.get()));
  return type;
}

}  // namespace zt::bot
