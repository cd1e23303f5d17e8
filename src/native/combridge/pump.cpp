// Apartment entry and exit, the message pump, thread messages, and the marshalling streams.
#include "pump.h"

#include "connection.h"
#include "dispatch.h"
#include "errors.h"
#include "guard.h"
#include "marshal.h"
#include "thread_state.h"

namespace comsim {

using zt::Ref;

namespace {

constexpr long WM_QUIT = 0x0012;
constexpr long ERROR_INVALID_THREAD_ID = 1444;

// A stream holding an interface marshalled for another thread; it can be taken out once.
struct StreamObject {
  PyObject_HEAD
  PyObject* target;                      // null once taken out
  std::shared_ptr<Apartment> apartment;  // the owning apartment
};

PyTypeObject* g_stream_type = nullptr;

void stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* s = reinterpret_cast<StreamObject*>(self);
  Py_CLEAR(s->target);
  s->apartment.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

// Runs one message. An apartment left while its messages were being dispatched (by
// CoUninitialize in a handler) no longer runs calls or delivers events.
void run(Message& message) {
  switch (message.kind) {
    case Message::Kind::Event:
      if (message.source->apartment->alive) deliver(message);
      break;
    case Message::Kind::Call:
      if (message.call->apartment->alive)
        execute(*message.call);
      else
        complete_with_failure(*message.call, RPC_E_DISCONNECTED);
      break;
    case Message::Kind::Posted:
    case Message::Kind::Quit: break;
  }
}

}  // namespace

void init_pump_types(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
      {Py_tp_doc, const_cast<char*>("A stream holding a marshalled interface.")},
      {0, nullptr},
  };
  static PyType_Spec spec{"pythoncom.PyIStream", sizeof(StreamObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  g_stream_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&spec)).release());
  zt::check_status(PyModule_AddObjectRef(module, "PyIStream", reinterpret_cast<PyObject*>(g_stream_type)));
}

PyObject* py_co_initialize(PyObject*, PyObject*) {
  return zt::guarded([] { return PyLong_FromLong(co_initialize()); });
}

PyObject* py_co_initialize_ex(PyObject*, PyObject* flags) {
  return zt::guarded([&] {
    if (!PyLong_Check(flags)) zt::raise(PyExc_TypeError, "flags must be an integer");
    return PyLong_FromLong(co_initialize());
  });
}

PyObject* py_co_uninitialize(PyObject*, PyObject*) {
  return zt::guarded([] {
    co_uninitialize();
    return zt::none();
  });
}

// Dispatches the messages waiting now; 1 when a quit message was among them (the messages
// behind it stay queued), else 0.
PyObject* py_pump_waiting_messages(PyObject*, PyObject*) {
  return zt::guarded([]() -> PyObject* {
    ThreadState& thread = *ensure_thread_state();
    std::deque<Message> batch;
    {
      std::lock_guard<std::mutex> lock(thread.mutex);
      batch.swap(thread.queue);
    }
    while (!batch.empty()) {
      Message message = std::move(batch.front());
      batch.pop_front();
      if (message.kind == Message::Kind::Quit) {
        std::lock_guard<std::mutex> lock(thread.mutex);
        for (auto it = batch.rbegin(); it != batch.rend(); ++it) thread.queue.push_front(std::move(*it));
        return PyLong_FromLong(1);
      }
      run(message);
      if (PyErr_Occurred()) report_error("comsim: unexpected error in the message pump");
    }
    return PyLong_FromLong(0);
  });
}

PyObject* py_get_current_thread_id(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLong(PyThread_get_thread_native_id());
}

PyObject* py_post_quit_message(PyObject*, PyObject* code) {
  return zt::guarded([&] {
    long value = PyLong_AsLong(code);
    if (value == -1 && PyErr_Occurred()) throw zt::PythonError{};
    Message message;
    message.kind = Message::Kind::Quit;
    message.code = static_cast<int>(value);
    post(*ensure_thread_state(), message);
    return zt::none();
  });
}

// PostThreadMessage(threadId, message, wParam, lParam)
PyObject* py_post_thread_message(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&] {
    if (nargs != 4)
      zt::raise_format(PyExc_TypeError, "PostThreadMessage() takes exactly 4 arguments (%zd given)", nargs);
    unsigned long thread_id = PyLong_AsUnsignedLong(args[0]);
    long kind = PyLong_AsLong(args[1]);
    long wparam = PyLong_AsLong(args[2]);
    if (PyErr_Occurred()) throw zt::PythonError{};
    std::shared_ptr<ThreadState> thread = find_thread(thread_id);
    Message message;
    message.kind = kind == WM_QUIT ? Message::Kind::Quit : Message::Kind::Posted;
    message.code = static_cast<int>(wparam);
    if (!thread || !post(*thread, message))
      raise_win32_error(ERROR_INVALID_THREAD_ID, "PostThreadMessage", "Invalid thread identifier.");
    return zt::none();
  });
}

// CoMarshalInterThreadInterfaceInStream(iid, object)
PyObject* py_marshal_in_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&]() -> PyObject* {
    if (nargs != 2)
      zt::raise_format(PyExc_TypeError,
                       "CoMarshalInterThreadInterfaceInStream() takes exactly 2 arguments (%zd given)", nargs);
    PyObject* obj = args[1];
    if (!is_dispatch(obj) && !is_bare_interface(obj))
      zt::raise(PyExc_TypeError, "The object is not a PyIDispatch object");
    ThreadState* here = current_thread_state();
    if (!here || !here->apartment) raise_com_error(CO_E_NOTINITIALIZED);
    Binding b = binding_of(obj);
    Ref self = Ref::check(g_stream_type->tp_alloc(g_stream_type, 0));
    auto* stream = reinterpret_cast<StreamObject*>(self.get());
    stream->target = Ref::borrow(b.target).release();
    new (&stream->apartment) std::shared_ptr<Apartment>(*b.apartment ? *b.apartment : here->apartment);
    return self.release();
  });
}

// CoGetInterfaceAndReleaseStream(stream, iid): the interface for the calling thread.
PyObject* py_get_interface_from_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return zt::guarded([&]() -> PyObject* {
    if (nargs != 2)
      zt::raise_format(PyExc_TypeError,
                       "CoGetInterfaceAndReleaseStream() takes exactly 2 arguments (%zd given)", nargs);
    if (Py_TYPE(args[0]) != g_stream_type) zt::raise(PyExc_TypeError, "The object is not a PyIStream object");
    auto* stream = reinterpret_cast<StreamObject*>(args[0]);
    if (!stream->target) raise_com_error(E_INVALIDARG);  // already released
    Ref target = Ref::steal(stream->target);
    stream->target = nullptr;
    std::shared_ptr<Apartment> apartment = std::move(stream->apartment);
    if (!apartment->alive) raise_com_error(RPC_E_DISCONNECTED);
    return new_bare_interface(target.get(), apartment, true).release();
  });
}

}  // namespace comsim
