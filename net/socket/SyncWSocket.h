// This is an internal header file of the socket component, included by WSocket.h: include
// WSocket.h, not this file. Its operations are public on TWSocket.
//
// TCustomSyncWSocket: waiting in a blocking style on the event-driven socket. RunAndWait starts
// an operation and runs the message loop until a flag, set by one of the caller's own event
// handlers, becomes true:
//
//   bool Connected = false;
//   Socket.OnSessionConnected = [&](TObject*, std::uint16_t) { Connected = true; };
//   if (Socket.RunAndWait([&] { Socket.Connect(); }, Connected) != 0) { /* given up */ }
//
// While it waits the component's notifications keep being dispatched (and, with MultiThreaded
// off, every message of the application); between two rounds the thread sleeps in the loop's
// wait until a message comes, so a wait uses no processor time while nothing happens. There is
// no time limit: a wait ends when the flag is true (0), or when the application has been asked
// to terminate or the component's own loop has taken a quit message (SyncWaitAbandoned).
//
// Thread rule: call the waits on the thread that created the component; the flag is read and
// written on that thread only (the handlers that set it run inside the wait). A handler that
// starts another wait nests message loops.
#pragma once

#include <cstdint>
#include <functional>

#include "LineWSocket.h"

namespace vantrel {

// Results of the waits.
constexpr std::int32_t SyncWaitDone = 0;           // the flag became true
constexpr std::int32_t SyncWaitAbandoned = 12001;  // terminating, or a quit message was taken

// Starts the operation a wait is for; may be empty.
using TSyncProc = std::function<void()>;

class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  explicit TCustomSyncWSocket(TComponent* Owner);

  // DoneFlag := false, calls Proc when it is set, then WaitForFlag(DoneFlag). Exceptions of Proc
  // pass to the caller.
  virtual std::int32_t RunAndWait(const TSyncProc& Proc, bool& DoneFlag);
  // Runs the messages until DoneFlag is true (SyncWaitDone, also at once when it already is,
  // without dispatching anything) or the wait is abandoned (SyncWaitAbandoned).
  virtual std::int32_t WaitForFlag(bool& DoneFlag);
};

}  // namespace vantrel
