// Marshalled calls: a request made on one thread and executed on an apartment's thread.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "errors.h"
#include "packet_share.h"
#include "py_ref.h"
#include "thread_state.h"
#include "wait_flag.h"

namespace comsim {

struct CallPacket {
  enum class Op {
    GetMember,   // target.<name>, resolved as a wrapper does
    SetMember,   // target.<name> = value
    CallMember,  // target.<name>(*args, **kwargs)
    Call,        // target(*args, **kwargs): the default member
    Enumerate,   // every item of the collection, as a tuple
    Length,      // len(target)
    Next,        // next(target) of a collection's iterator; StopIteration at its end
    Invoke,      // value(*args): a callable posted with comsim.post / comsim.call
  };
  Op op = Op::Invoke;
  bool awaited = true;  // false for comsim.post: nobody waits, errors are printed

  // Request: written by the caller before posting, read by the executing thread (GIL held).
  zt::Ref target, name, args, kwargs, value;
  std::shared_ptr<Apartment> apartment;  // where it runs; results are proxies for it

  // Outcome: written by the executing thread before `finished` is set, read by the caller
  // after its wait on it.
  zt::WaitFlag finished;
  HRESULT failure = S_OK;   // set when the apartment went away before the call ran
  zt::Ref result;
  zt::Ref error_type, error_value, error_traceback;

  // Drops every reference of the packet (GIL held).
  void drop_references();
};


// Posts the packet to its apartment and blocks (GIL released) until it ran there; returns
// its result or raises its error. Raises com_error RPC_E_DISCONNECTED when the apartment is
// gone or goes away before the call runs. Ctrl-C on the main thread ends the wait with
// KeyboardInterrupt (the call still runs; its outcome is dropped).
zt::Ref marshal(const std::shared_ptr<Apartment>& apartment, std::shared_ptr<CallPacket> packet);

// Posts a packet that nobody waits for; false when the apartment is gone.
bool post_packet(const std::shared_ptr<Apartment>& apartment, std::shared_ptr<CallPacket> packet);

// Runs a packet on the apartment's thread (from the message pump, GIL held) and completes it.
void execute(CallPacket& packet);

// Completes a packet that can no longer run (GIL held).
void complete_with_failure(CallPacket& packet, HRESULT failure) noexcept;

// Calls posted or executing but not yet completed.
long pending_call_count() noexcept;

}  // namespace comsim
