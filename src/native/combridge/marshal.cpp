// Posting marshalled calls, waiting for them with the GIL released, and running them.
#include "marshal.h"

#include <atomic>

#include "guard.h"
#include "members.h"

namespace comsim {

using zt::Ref;

namespace {

std::atomic<long> g_pending{0};

void finish(CallPacket& packet) noexcept {
  --g_pending;
  packet.finished.set();
}

Ref run(CallPacket& p) {
  const std::shared_ptr<Apartment>& apt = p.apartment;
  switch (p.op) {
    case CallPacket::Op::GetMember:
      return get_member(p.target.get(), p.name.get(), apt, true);
    case CallPacket::Op::SetMember:
      set_member(p.target.get(), p.name.get(), p.value.get());
      return Ref::borrow(Py_None);
    case CallPacket::Op::CallMember:
      return call_member(p.target.get(), p.name.get(), p.args.get(), p.kwargs.get(), apt, true);
    case CallPacket::Op::Call:
      return call_default(p.target.get(), p.args.get(), p.kwargs.get(), apt, true);
    case CallPacket::Op::Enumerate:
      return enumerate_items(p.target.get(), apt, true);
    case CallPacket::Op::Length:
      return length_of(p.target.get());
    case CallPacket::Op::Next: {
      Ref item = Ref::steal(PyIter_Next(p.target.get()));
      if (item) return to_caller(item.get(), apt, true);
      if (PyErr_Occurred()) {
        convert_component_error();
        throw zt::PythonError{};
      }
      PyErr_SetNone(PyExc_StopIteration);
      throw zt::PythonError{};
    }
    case CallPacket::Op::Invoke:
      return Ref::check(PyObject_Call(p.value.get(), p.args ? p.args.get() : Ref::check(PyTuple_New(0)).get(),
                                      p.kwargs.get()));
  }
  throw zt::InternalError("unknown marshalled operation");
}

}  // namespace

void CallPacket::drop_references() {
  target.reset();
  name.reset();
  args.reset();
  kwargs.reset();
  value.reset();
  result.reset();
  error_type.reset();
  error_value.reset();
  error_traceback.reset();
}

void PacketShare::reset() {
  if (packet_ && packet_.use_count() == 1) packet_->drop_references();
  packet_.reset();
}

Ref marshal(const std::shared_ptr<Apartment>& apartment, std::shared_ptr<CallPacket> call) {
  call->apartment = apartment;
  PacketShare packet(std::move(call));  // the caller's share
  Message message;
  message.kind = Message::Kind::Call;
  message.call = PacketShare(packet);
  ++g_pending;
  if (!post(*apartment, message)) {
    --g_pending;
    raise_com_error(RPC_E_DISCONNECTED);
  }
  packet->finished.wait(-1);
  if (packet->failure != S_OK) raise_com_error(packet->failure);
  if (packet->error_type) {
    PyErr_Restore(packet->error_type.release(), packet->error_value.release(),
                  packet->error_traceback.release());
    throw zt::PythonError{};
  }
  return std::move(packet->result);
}

bool post_packet(const std::shared_ptr<Apartment>& apartment, std::shared_ptr<CallPacket> packet) {
  packet->apartment = apartment;
  packet->awaited = false;
  Message message;
  message.kind = Message::Kind::Call;
  message.call = PacketShare(std::move(packet));
  ++g_pending;
  if (post(*apartment, message)) return true;
  --g_pending;
  return false;
}

void execute(CallPacket& packet) {
  try {
    packet.result = run(packet);
  } catch (const zt::PythonError&) {
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
  }
  if (PyErr_Occurred()) {
    if (packet.awaited) {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      packet.error_type = Ref::steal(type);
      packet.error_value = Ref::steal(value);
      packet.error_traceback = Ref::steal(tb);
    } else {
      report_error("comsim: error in a posted call");  // nobody waits: never lose it
    }
  }
  finish(packet);
}

void complete_with_failure(CallPacket& packet, HRESULT failure) noexcept {
  packet.failure = failure;
  finish(packet);
}

long pending_call_count() noexcept { return g_pending.load(); }

}  // namespace comsim
