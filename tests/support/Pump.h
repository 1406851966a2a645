// This is an internal header of the test support library.
// Running the calling thread's platform messages until a condition holds.
#pragma once

#include <functional>

namespace vantrel::test {

// Dispatches the calling thread's messages (PeekMessage / TranslateMessage / DispatchMessage)
// until done() returns true or timeoutMs passes; returns done()'s last answer. The messages
// already waiting are dispatched first, even when done() holds at once (so PumpFor(0) runs what
// is queued, and creates the thread's queue). When it must wait, it blocks in WaitMessage, woken
// at least every 10 ms by a thread message (0xBFF7, removed again) from a helper thread (so that
// conditions set by other threads are seen), and never spins; it creates no window and no
// descriptor. A WM_QUIT found in the queue is put back (PostQuitMessage) and ends the pump. Calling
// thread only; may nest.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs);

// Dispatches messages for ms milliseconds, whatever happens (PumpFor(0): what is waiting now).
void PumpFor(int ms);

}  // namespace vantrel::test
