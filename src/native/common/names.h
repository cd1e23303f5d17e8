// Tables of interned names. Each module lists the attribute, method and keyword names it
// uses once, as an X-macro of (field, text), and interns them all while it loads, instead of
// function-local statics spread through its files:
//
//   #define MODULE_NAMES(X) X(Count, "Count") X(refresh_format, "%Y-%m-%d")
//   struct Names { MODULE_NAMES(ZT_NAME_FIELD) };
//   void intern_names(Names& n) { MODULE_NAMES(ZT_INTERN_NAME) }
#pragma once

#include "py_ref.h"

// A field of the table: the name, never freed once made.
#define ZT_NAME_FIELD(field, text) PyObject* field = nullptr;
// Fills a field of the table `n` (throws PythonError when the interpreter is out of memory).
#define ZT_INTERN_NAME(field, text) n.field = ::zt::intern(text);
