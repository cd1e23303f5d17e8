// Lines on sys.stdout, written as print() would and flushed at once: the one way every module
// writes its notices and trace lines.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zt {

// Interns the names the writes use; called by the init of every module that writes.
void init_output();

// Writes the str `text` to sys.stdout in one write() and flushes. Like print(), a missing or
// None sys.stdout drops it. The stream is held for both calls (write() may replace it).
void write_stdout(PyObject* text);

// str(obj) and a line end, in one write (so lines of other threads never run into it).
void print_line(PyObject* obj);

}  // namespace zt
