// Tables of interned names. Each module lists the attribute, method and keyword names it
// uses once, as an X-macro of (field, text), and interns them all while it loads, instead of
// function-local statics spread through its files:
//
//   #define MODULE_NAMES(X) X(Count, "Count") X(refresh_format, "%Y-%m-%d")
//   struct Names { MODULE_NAMES(ZT_NAME_FIELD) };
//   void intern_names(Names& n) { MODULE_NAMES(ZT_INTERN_NAME) }
//
// The keyword names of a vectorcall (a tuple of names) are listed the same way, as
// (field, text, text, ...):
//
//   #define MODULE_KEYWORDS(X) X(kw_bar, "datetime", "open")
//   struct Names { ... MODULE_KEYWORDS(ZT_NAME_FIELD) };
//   ... MODULE_KEYWORDS(ZT_MAKE_KEYWORDS)
#pragma once

#include <initializer_list>

#include "py_ref.h"

// A field of the table: the name (or tuple of names), never freed once made.
#define ZT_NAME_FIELD(field, ...) PyObject* field = nullptr;
// Fills a field of the table `n` (throws PythonError when the interpreter is out of memory).
#define ZT_INTERN_NAME(field, text) n.field = ::zt::intern(text);
#define ZT_MAKE_KEYWORDS(field, ...) n.field = ::zt::keyword_names({__VA_ARGS__});

namespace zt {

// A tuple of the interned `names`, never freed; PythonError when out of memory.
inline PyObject* keyword_names(std::initializer_list<const char*> names) {
  Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* name : names) PyTuple_SET_ITEM(tuple.get(), i++, intern(name));
  return tuple.release();
}

}  // namespace zt
