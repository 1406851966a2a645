#include "FreePort.h"

#include <sys/socket.h>

#include "PosixIo.h"

namespace vantrel::test {
namespace {

std::uint16_t FreePort(int type) {
  UniqueFd fd = detail::OpenLoopbackSocket(type, 0, 0, nullptr);
  return fd.Valid() ? detail::LocalPort(fd.Get()) : 0;
}

}  // namespace

std::uint16_t FreeTcpPort() {
  return FreePort(SOCK_STREAM);
}
std::uint16_t FreeUdpPort() {
  return FreePort(SOCK_DGRAM);
}

}  // namespace vantrel::test
