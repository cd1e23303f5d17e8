// Tables from the component's type constants to fixed texts, fresh or built once.
#include "type_names.h"

#include <cstring>

#include "args.h"
#include "guard.h"

namespace vantor {

using zt::Ref;

void TypeNameTable::intern_texts() {
  if (interned_) return;
  for (std::size_t i = 0; i < count_; ++i)
    if (!texts_[i]) texts_[i] = zt::intern(rows_[i].text);
  interned_ = true;
}

Ref TypeNameTable::build() {
  intern_texts();
  Ref table = Ref::check(PyDict_New());
  for (std::size_t i = 0; i < count_; ++i) {
    Ref value = Ref::check(PyObject_GetAttrString(M.constants, rows_[i].constant));
    zt::check_status(PyDict_SetItem(table.get(), value.get(), texts_[i]));
  }
  return table;
}

PyObject* TypeNameTable::cached() {
  if (!cached_) cached_ = build().release();
  return cached_;
}

PyObject* TypeNameTable::text(const char* row_text) {
  intern_texts();
  for (std::size_t i = 0; i < count_; ++i)
    if (std::strcmp(rows_[i].text, row_text) == 0) return texts_[i];
  throw zt::InternalError(std::string("no type name row with text ") + row_text);
}

PyObject* TypeNameTable::to_string(const char* function, const char* param, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    const char* const names[] = {param};
    const zt::Signature sig{function, names, 1, 1};
    PyObject* key;
    zt::bind_args(sig, args, nargs, kwnames, &key);
    Ref table = build();
    PyObject* found = PyDict_GetItemWithError(table.get(), key);
    if (found) return Ref::borrow(found).release();
    if (!PyErr_Occurred()) {
      // A 1-tuple, so that a tuple key stays one argument of the KeyError.
      Ref error_args = Ref::check(PyTuple_Pack(1, key));
      PyErr_SetObject(PyExc_KeyError, error_args.get());
    }
    return nullptr;
  });
}

}  // namespace vantor
