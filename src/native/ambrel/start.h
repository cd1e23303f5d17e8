// Start: runs a sample class against a fresh environment and shuts the environment down.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ambrel {

extern PyMethodDef start_def;

}  // namespace ambrel
