#pragma once
// A manual-reset event that a readiness wait can include beside its sockets (WSAEventSelect's
// counterpart for our waits): a thread blocked in WaitForSockets wakes as soon as another thread
// sets one of the events it waits on. Used to stop listeners and connection threads without
// time-outs, and to let connection threads tell their listener they have ended.
//
// Thread affinity: none; Set, Reset and IsSet may be called from any thread. The event must
// outlive every wait that includes it.

#include <memory>

namespace uv::platform {

class SocketEvent {
 public:
  // Throws std::system_error when the system cannot make one (out of descriptors).
  SocketEvent();
  ~SocketEvent();
  SocketEvent(const SocketEvent&) = delete;
  SocketEvent& operator=(const SocketEvent&) = delete;

  // Signalled until Reset; every wait that includes it returns at once meanwhile.
  void Set();
  void Reset();
  bool IsSet() const;

 private:
  // What the system knows the event by; the readiness waits of the implementation reach it.
  struct Impl;
  friend struct SocketDescriptor;
  std::unique_ptr<Impl> impl_;
};

}  // namespace uv::platform
