#include "FreePort.h"

#include "SocketIo.h"

namespace vantrel::test {
namespace {

std::uint16_t FreePort(bool stream) {
  detail::OwnedSocket s = detail::OpenLoopbackSocket(stream, 0, 0, nullptr);
  return s.Valid() ? detail::LocalPort(s.Get()) : 0;
}

}  // namespace

std::uint16_t FreeTcpPort() {
  return FreePort(true);
}
std::uint16_t FreeUdpPort() {
  return FreePort(false);
}

}  // namespace vantrel::test
