// CustomedExtBot: the Telegram client's bot class, extended to carry the shared fields.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_ref.h"

namespace zt::bot {

// Creates the class (a subclass of the library's ExtBot). The library's __setattr__ lets
// subclasses take new attributes without its deprecation warning, so the fields attach as
// plain instance attributes.
Ref make_customed_ext_bot_type();

}  // namespace zt::bot
