// Arbitrary response bytes, cut at arbitrary places, closed or reset at arbitrary points, fed
// through a real THttpCli over loopback TCP. Every input must end the request (no hang past
// the time limit) without a crash, a leak or undefined behaviour.
#include <cstdint>
#include <cstdlib>

#include "ResponseReplay.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static vantrel::test::ResponseReplay replay;
  if (!replay.Ready()) std::abort();
  const vantrel::test::ReplayOutcome out = replay.Play(data, size, 2000);
  // The script always ends the connection, so the request must end well before its limit.
  if (!out.ended || out.timedOut || out.doneCount != 1) __builtin_trap();
  // Every delivered byte reached the stream, and nothing else did.
  if (out.document != out.delivered) __builtin_trap();
  return 0;
}
