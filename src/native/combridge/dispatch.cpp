// The wrapper types: CDispatch (late-bound object), bound members, iterators over a
// component's collection, and the bare interface that a stream yields.
#include "dispatch.h"

#include <structmember.h>

#include <new>
#include <vector>

#include "errors.h"
#include "guard.h"
#include "marshal.h"
#include "members.h"

namespace comsim {

using zt::Ref;

namespace {

// Layout shared by the wrapper types: the object, the apartment it belongs to (nullptr for
// a free object) and whether uses from other threads are marshalled to that apartment.
struct Wrapper {
  PyObject_HEAD
  PyObject* target;
  std::shared_ptr<Apartment> apartment;
  bool proxy;
  PyObject* weakrefs;
};

struct BoundMember {
  Wrapper base;
  PyObject* name;
  vectorcallfunc vectorcall;
};

struct ItemIterator {
  Wrapper base;  // target: the component collection's own iterator
};

PyTypeObject* g_dispatch_type = nullptr;
PyTypeObject* g_bound_type = nullptr;
PyTypeObject* g_iterator_type = nullptr;
PyTypeObject* g_bare_type = nullptr;

// Counters for leak checks; changed only with the GIL held.
long g_live_wrappers = 0;
long g_live_proxies = 0;

Wrapper* as_wrapper(PyObject* o) { return reinterpret_cast<Wrapper*>(o); }

Ref alloc_wrapper(PyTypeObject* type, PyObject* target, const std::shared_ptr<Apartment>& apartment,
                  bool proxy) {
  Ref self = Ref::check(type->tp_alloc(type, 0));
  Wrapper* w = as_wrapper(self.get());
  w->target = Ref::borrow(target).release();
  new (&w->apartment) std::shared_ptr<Apartment>(apartment);
  w->proxy = proxy;
  w->weakrefs = nullptr;
  return self;
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_wrapper(self)->target);
  return 0;
}

int wrapper_clear(PyObject* self) {
  Py_CLEAR(as_wrapper(self)->target);
  return 0;
}

void wrapper_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Wrapper* w = as_wrapper(self);
  if (w->weakrefs) PyObject_ClearWeakRefs(self);
  if (type == g_dispatch_type) {
    --g_live_wrappers;
    if (w->proxy) --g_live_proxies;
  }
  if (type == g_bound_type) Py_CLEAR(reinterpret_cast<BoundMember*>(self)->name);
  Py_CLEAR(w->target);
  w->apartment.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

int bound_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<BoundMember*>(self)->name);
  return wrapper_traverse(self, visit, arg);
}

enum class Route { Direct, Marshal };

// Where a use of the wrapper runs: here, or on its apartment's thread.
Route route(const Wrapper* w) {
  if (!w->target) zt::raise(PyExc_ReferenceError, "COM object already released");
  if (!w->apartment) return Route::Direct;
  Apartment* here = current_apartment();
  if (here == w->apartment.get()) return Route::Direct;
  if (!w->apartment->alive) raise_com_error(RPC_E_DISCONNECTED);
  if (!w->proxy) raise_com_error(RPC_E_WRONG_THREAD);
  return Route::Marshal;
}

std::shared_ptr<CallPacket> packet(CallPacket::Op op, const Wrapper* w) {
  auto p = std::make_shared<CallPacket>();
  p->op = op;
  p->target = Ref::borrow(w->target);
  return p;
}

// Names of the wrapper's own (the rest go to the component's members).
bool is_private_name(PyObject* name) {
  return !PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) == 0 ||
         PyUnicode_READ_CHAR(name, 0) == '_';
}

// ---- CDispatch ----------------------------------------------------------------------------

PyObject* dispatch_getattro(PyObject* self, PyObject* name) {
  if (is_private_name(name)) return PyObject_GenericGetAttr(self, name);
  return zt::guarded([&]() -> PyObject* {
    Wrapper* w = as_wrapper(self);
    if (route(w) == Route::Direct)
      return get_member(w->target, name, w->apartment, w->proxy).release();
    const Ref descr = class_attribute(Py_TYPE(w->target), name);
    if (descr && is_method(descr.get()))
      return new_bound_member(w->target, name, w->apartment, true).release();
    auto p = packet(CallPacket::Op::GetMember, w);
    p->name = Ref::borrow(name);
    return marshal(w->apartment, std::move(p)).release();
  });
}

int dispatch_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (is_private_name(name)) return PyObject_GenericSetAttr(self, name, value);
  return zt::guarded_status([&] {
    if (!value) zt::raise_format(PyExc_AttributeError, "can not delete COM member '%U'", name);
    Wrapper* w = as_wrapper(self);
    if (route(w) == Route::Direct) {
      set_member(w->target, name, value);
    } else {
      auto p = packet(CallPacket::Op::SetMember, w);
      p->name = Ref::borrow(name);
      p->value = Ref::borrow(value);
      marshal(w->apartment, std::move(p));
    }
    return 0;
  });
}

PyObject* dispatch_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return zt::guarded([&]() -> PyObject* {
    Wrapper* w = as_wrapper(self);
    if (route(w) == Route::Direct)
      return call_default(w->target, args, kwargs, w->apartment, w->proxy).release();
    auto p = packet(CallPacket::Op::Call, w);
    p->args = Ref::borrow(args);
    p->kwargs = Ref::borrow(kwargs);
    return marshal(w->apartment, std::move(p)).release();
  });
}

PyObject* dispatch_iter(PyObject* self) {
  return zt::guarded([&]() -> PyObject* {
    Wrapper* w = as_wrapper(self);
    if (route(w) == Route::Direct) {
      PyObject* it = PyObject_GetIter(w->target);
      if (it) {
        Ref iterator = Ref::steal(it);
        return alloc_wrapper(g_iterator_type, iterator.get(), w->apartment, w->proxy).release();
      }
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        convert_component_error();
        return nullptr;
      }
      PyErr_Clear();
      Ref items = enumerate_items(w->target, w->apartment, w->proxy);
      return PyObject_GetIter(items.get());
    }
    // One round trip for the whole collection, as an enumerator fetching in bulk does.
    Ref items = marshal(w->apartment, packet(CallPacket::Op::Enumerate, w));
    return PyObject_GetIter(items.get());
  });
}

Py_ssize_t dispatch_length(PyObject* self) {
  Ref n = Ref::steal(zt::guarded([&]() -> PyObject* {
    Wrapper* w = as_wrapper(self);
    if (route(w) == Route::Direct) return length_of(w->target).release();
    return marshal(w->apartment, packet(CallPacket::Op::Length, w)).release();
  }));
  return n ? PyLong_AsSsize_t(n.get()) : -1;
}

int dispatch_bool(PyObject*) { return 1; }  // a COM object is always true, whatever its length

// The target's identity hash, so that wrappers of one object hash alike.
Py_hash_t dispatch_hash(PyObject* self) {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_HashPointer(as_wrapper(self)->target);
#else
  return PyBaseObject_Type.tp_hash(as_wrapper(self)->target);  // object.__hash__: the same
#endif
}

PyObject* dispatch_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_dispatch(other)) Py_RETURN_NOTIMPLEMENTED;
  bool same = as_wrapper(self)->target == as_wrapper(other)->target;
  return PyBool_FromLong(op == Py_EQ ? same : !same);
}

PyObject* dispatch_repr(PyObject* self) {
  Wrapper* w = as_wrapper(self);
  return PyUnicode_FromFormat("<COMObject %s%s>", Py_TYPE(w->target)->tp_name,
                              w->proxy ? " (proxy)" : "");
}

PyObject* dispatch_oleobj(PyObject* self, void*) {
  return zt::guarded([&] {
    Wrapper* w = as_wrapper(self);
    return new_bare_interface(w->target, w->apartment, w->proxy).release();
  });
}

PyGetSetDef dispatch_getset[] = {
    {"_oleobj_", dispatch_oleobj, nullptr, "The bare interface behind the wrapper.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef wrapper_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Wrapper, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- bound members --------------------------------------------------------------------------

PyObject* bound_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return zt::guarded([&]() -> PyObject* {
    auto* b = reinterpret_cast<BoundMember*>(self);
    Wrapper* w = &b->base;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (route(w) == Route::Direct) {
      std::vector<PyObject*> stack(static_cast<size_t>(1 + nargs + nkw));
      stack[0] = w->target;
      for (Py_ssize_t i = 0; i < nargs + nkw; ++i) stack[1 + i] = to_component(args[i]);
      PyObject* result = PyObject_VectorcallMethod(b->name, stack.data(),
                                                   static_cast<size_t>(1 + nargs), kwnames);
      if (!result) {
        convert_component_error();
        return nullptr;
      }
      Ref owned = Ref::steal(result);
      return to_caller(owned.get(), w->apartment, w->proxy).release();
    }
    auto p = packet(CallPacket::Op::CallMember, w);
    p->name = Ref::borrow(b->name);
    p->args = Ref::check(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i)
      PyTuple_SET_ITEM(p->args.get(), i, Ref::borrow(args[i]).release());
    if (nkw) {
      p->kwargs = Ref::check(PyDict_New());
      for (Py_ssize_t i = 0; i < nkw; ++i)
        zt::check_status(PyDict_SetItem(p->kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
    }
    return marshal(w->apartment, std::move(p)).release();
  });
}

PyObject* bound_repr(PyObject* self) {
  auto* b = reinterpret_cast<BoundMember*>(self);
  return PyUnicode_FromFormat("<COM member %U of %s>", b->name, Py_TYPE(b->base.target)->tp_name);
}

PyMemberDef bound_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(BoundMember, base.weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(BoundMember, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- iteration over a collection on its own thread ------------------------------------------

PyObject* iterator_next(PyObject* self) {
  return zt::guarded([&]() -> PyObject* {
    Wrapper* w = as_wrapper(self);
    // Only on the collection's own thread, as every other use of a wrapper.
    if (route(w) == Route::Marshal) return marshal(w->apartment, packet(CallPacket::Op::Next, w)).release();
    PyObject* item = PyIter_Next(w->target);
    if (!item) {
      if (PyErr_Occurred()) convert_component_error();
      return nullptr;
    }
    Ref owned = Ref::steal(item);
    return to_caller(owned.get(), w->apartment, w->proxy).release();
  });
}

// ---- bare interface -------------------------------------------------------------------------

PyObject* bare_repr(PyObject* self) {
  return PyUnicode_FromFormat("<PyIDispatch at %p with obj at %p>", self, as_wrapper(self)->target);
}

PyTypeObject* make_type(const char* name, Py_ssize_t size, unsigned int flags, PyType_Slot* slots) {
  PyType_Spec spec{name, static_cast<int>(size), 0, flags, slots};
  return reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&spec)).release());
}

}  // namespace

void init_dispatch_types(PyObject* module) {
  // Made only by the bridge: an instance from Python would have null fields.
  const unsigned int gc_flags =
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  static PyType_Slot dispatch_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
      {Py_tp_getattro, reinterpret_cast<void*>(dispatch_getattro)},
      {Py_tp_setattro, reinterpret_cast<void*>(dispatch_setattro)},
      {Py_tp_call, reinterpret_cast<void*>(dispatch_call)},
      {Py_tp_iter, reinterpret_cast<void*>(dispatch_iter)},
      {Py_tp_hash, reinterpret_cast<void*>(dispatch_hash)},
      {Py_tp_richcompare, reinterpret_cast<void*>(dispatch_richcompare)},
      {Py_tp_repr, reinterpret_cast<void*>(dispatch_repr)},
      {Py_nb_bool, reinterpret_cast<void*>(dispatch_bool)},
      {Py_mp_length, reinterpret_cast<void*>(dispatch_length)},
      {Py_tp_getset, dispatch_getset},
      {Py_tp_members, wrapper_members},
      {Py_tp_doc, const_cast<char*>("A COM object for late-bound access by member name.")},
      {0, nullptr},
  };
  g_dispatch_type = make_type("win32com.client.CDispatch", sizeof(Wrapper), gc_flags, dispatch_slots);

  static PyType_Slot bound_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(bound_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_repr, reinterpret_cast<void*>(bound_repr)},
      {Py_tp_members, bound_members},
      {0, nullptr},
  };
  g_bound_type = make_type("win32com.client.COMMember", sizeof(BoundMember),
                           gc_flags | Py_TPFLAGS_HAVE_VECTORCALL, bound_slots);

  static PyType_Slot iterator_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
      {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
      {Py_tp_members, wrapper_members},
      {0, nullptr},
  };
  g_iterator_type = make_type("win32com.client.COMEnumerator", sizeof(ItemIterator), gc_flags,
                              iterator_slots);

  static PyType_Slot bare_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
      {Py_tp_repr, reinterpret_cast<void*>(bare_repr)},
      {Py_tp_members, wrapper_members},
      {Py_tp_doc, const_cast<char*>("A bare dispatch interface; wrap it with Dispatch to use it.")},
      {0, nullptr},
  };
  g_bare_type = make_type("pythoncom.PyIDispatch", sizeof(Wrapper), gc_flags, bare_slots);

  zt::check_status(PyModule_AddObjectRef(module, "CDispatch", reinterpret_cast<PyObject*>(g_dispatch_type)));
  zt::check_status(PyModule_AddObjectRef(module, "PyIDispatch", reinterpret_cast<PyObject*>(g_bare_type)));
}

Ref new_dispatch(PyObject* target, const std::shared_ptr<Apartment>& apartment, bool proxy) {
  Ref self = alloc_wrapper(g_dispatch_type, target, apartment, proxy);
  ++g_live_wrappers;
  if (proxy) ++g_live_proxies;
  return self;
}

Ref new_bound_member(PyObject* target, PyObject* name, const std::shared_ptr<Apartment>& apartment,
                     bool proxy) {
  Ref self = alloc_wrapper(g_bound_type, target, apartment, proxy);
  auto* b = reinterpret_cast<BoundMember*>(self.get());
  b->name = Ref::borrow(name).release();
  b->vectorcall = bound_vectorcall;
  return self;
}

Ref new_bare_interface(PyObject* target, const std::shared_ptr<Apartment>& apartment, bool proxy) {
  return alloc_wrapper(g_bare_type, target, apartment, proxy);
}

bool is_dispatch(PyObject* obj) noexcept { return Py_TYPE(obj) == g_dispatch_type; }
bool is_bare_interface(PyObject* obj) noexcept { return Py_TYPE(obj) == g_bare_type; }

Binding binding_of(PyObject* obj) noexcept {
  Wrapper* w = as_wrapper(obj);
  return Binding{w->target, &w->apartment, w->proxy};
}

long live_wrapper_count() noexcept { return g_live_wrappers; }
long live_proxy_count() noexcept { return g_live_proxies; }

}  // namespace comsim
