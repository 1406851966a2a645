// This is an internal header of the socket layer.
// The background end of a graceful close: bytes an application handed over before closing are
// still delivered after its socket handle is gone. A sender owns the descriptor and the bytes,
// writes as the connection takes them on its thread's loop, then ends the stream with FIN and
// closes once the peer has acknowledged everything; when the time runs out first, or when it is
// disposed of while still pending, it resets the connection instead, so that the peer never
// mistakes a cut-off stream for a complete one.
//
// Thread rule: created and run on the thread whose queue it watches; the queue's watches own it.
#pragma once

#include <cstdint>
#include <string>

#include "ThreadQueue.h"
#include "WinSockState.h"

namespace vantrel {

// Hands the connected stream descriptor over to a sender on queue. False when the queue cannot
// watch it (the descriptor is then closed with a reset).
bool StartLingeringSender(ThreadQueue& queue, UniqueFd descriptor, std::string bytes,
                          int timeoutSeconds);

// Senders still running in this process.
int LingeringSenderCount();

}  // namespace vantrel
