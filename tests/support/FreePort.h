// This is an internal header of the test support library.
// Free ports on 127.0.0.1 for servers started by tests. Any thread.
#pragma once

#include <cstdint>

namespace vantrel::test {

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's choice for port 0); 0 on
// failure. Another process may take it before it is used: servers started on it retry.
std::uint16_t FreeTcpPort();
// The same for UDP.
std::uint16_t FreeUdpPort();

}  // namespace vantrel::test
