// What the test sockets of both systems share.
#include "SocketIo.h"

#include <chrono>

namespace vantrel::test::detail {

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace vantrel::test::detail
