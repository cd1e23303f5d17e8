// Names of the component's enumerated types (quote types, tick price types): tables from the
// constants' values to fixed texts.
#pragma once

#include <cstddef>

#include "vantor.h"

namespace vantor {

struct TypeName {
  const char* constant;  // name on win32com.client.constants
  const char* text;
};

class TypeNameTable {
 public:
  template <std::size_t N>
  explicit TypeNameTable(const TypeName (&rows)[N]) : rows_(rows), count_(N) {
    static_assert(N <= kMaxRows, "a type name table has more rows than kMaxRows");
  }

  // {value: text} from the constants as they are now, rows in order (a later row wins on
  // equal values).
  zt::Ref build();
  // The table the handlers use, built at first use: a type library's constants do not change
  // once loaded, and the handlers must not pay for rebuilding it on every item. Borrowed.
  PyObject* cached();
  // The interned text of a row; the tables hold these very objects, so identity compares.
  PyObject* text(const char* row_text);
  // The module function: the text of `key` in a fresh table; KeyError(key) when missing.
  PyObject* to_string(const char* function, const char* param, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames);

 private:
  static constexpr std::size_t kMaxRows = 32;
  void intern_texts();
  const TypeName* rows_;
  std::size_t count_;
  // Interned, one per row; made under the GIL and never freed. A plain array, so that no
  // destructor at process exit lets go of the one place that points to them.
  PyObject* texts_[kMaxRows] = {};
  bool interned_ = false;
  PyObject* cached_ = nullptr;    // owned for the life of the process; GIL
};

}  // namespace vantor
