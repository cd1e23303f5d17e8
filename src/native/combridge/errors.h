// COM error codes and the bridge's exception types (com_error, pywintypes.error).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "py_ref.h"

namespace comsim {

using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = -2147467259;
constexpr HRESULT E_INVALIDARG = -2147024809;
constexpr HRESULT CO_E_NOTINITIALIZED = -2147221008;
constexpr HRESULT CO_E_CLASSSTRING = -2147221005;
constexpr HRESULT REGDB_E_CLASSNOTREG = -2147221164;
constexpr HRESULT RPC_E_DISCONNECTED = -2147417848;
constexpr HRESULT RPC_E_WRONG_THREAD = -2147417842;
constexpr HRESULT DISP_E_MEMBERNOTFOUND = -2147352573;
constexpr HRESULT DISP_E_EXCEPTION = -2147352567;
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = -2147319779;

// The system's text for an HRESULT ("Invalid class string", ...), or nullptr.
const char* hresult_text(HRESULT hr) noexcept;

// Creates com_error and error; call once at module init. Both are owned by the module.
void init_error_types(PyObject* module);
PyObject* com_error_type() noexcept;
PyObject* win32_error_type() noexcept;

// Raises com_error(hr, text, excepinfo, None) with the system text of hr; throws PythonError.
[[noreturn]] void raise_com_error(HRESULT hr, PyObject* excepinfo = nullptr);

// Raises pywintypes.error(code, function, message); throws PythonError.
[[noreturn]] void raise_win32_error(long code, const char* function, const char* message);

// With an exception pending that the component's own code raised: leaves a com_error or
// a non-Exception (KeyboardInterrupt, SystemExit) as it is, and turns anything else into
// com_error(DISP_E_EXCEPTION) whose excepinfo carries the message, chained to the original.
void convert_component_error();

// Writes `headline` and the pending exception's traceback to sys.stderr and clears it.
// For errors that have no caller to go to (event handlers, posted calls).
void report_error(const char* headline);

}  // namespace comsim
