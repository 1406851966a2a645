// This is an internal header of the socket layer.
// The readiness state machine behind WSAAsyncSelect: level-triggered epoll interest on the queue
// of the window's thread, turned into FD_* messages with Windows' rules. An event is posted only
// while armed; posting disarms it and the re-enabling call arms it again, so epoll reports at once
// if the condition still holds: Windows' re-check rule. A disarmed read drops its epoll interest
// at once; a disarmed write or accept keeps it until epoll reports it again (see SocketEntry),
// which saves the two epoll_ctl of a cycle that ends before the next turn.
//
// Thread rule: every function runs on the thread that owns the socket's window (for an
// unregistered socket, the thread making the call). Messages are always posted, never delivered
// from inside a call.
#pragma once

#include "WinSockState.h"

namespace vantrel {

// WSAAsyncSelect on an entry: replaces the registration (mask 0 stops everything), arms every
// event of the mask and applies Windows' persistence. Returns 0 or a Windows Sockets code.
int SelectEvents(SocketEntry& entry, HWND window, UINT message, long mask);

// connect() started: immediateErrno is 0 for a connect under way or done at once, or the
// outcome error Linux gave at once; either way the outcome is reported on the next turn.
void ConnectStarted(SocketEntry& entry, int immediateErrno);
// Settles a connect whose outcome is already known (for calls made before the loop saw it).
void SettleConnect(SocketEntry& entry);
void ListenStarted(SocketEntry& entry);

// Re-enabling calls.
void ReadCalled(SocketEntry& entry);      // recv, recvfrom: FD_READ and FD_OOB
void AcceptCalled(SocketEntry& entry);    // accept: FD_ACCEPT
void SendWouldBlock(SocketEntry& entry);  // send that failed with would-block: FD_WRITE
// A socket returned by accept: takes over the listener's registration; FD_WRITE follows.
void AcceptedFrom(SocketEntry& listener, SocketEntry& accepted);

// A call found the connection reset or failed (Windows code): FD_CLOSE with it, once, and every
// later call fails with it.
void ConnectionLost(SocketEntry& entry, int code);

// Stops watching the descriptor (closesocket). Safe from another thread: the watch is then
// removed, and the descriptor closed, on the owning thread.
void StopWatching(SocketEntry& entry);

}  // namespace vantrel
