#include "TestServers.h"

namespace vantrel::test {

MicrosocksServer::MicrosocksServer(const std::string& user, const std::string& password)
    : TestServer("microsocks", "vantrel-microsocks-") {
  std::string program = Require("microsocks", "microsocks");
  Start(
      [&](std::uint16_t port) {
        std::vector<std::string> argv{program, "-i", "127.0.0.1", "-p", std::to_string(port)};
        if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
        return argv;
      },
      {});
}

}  // namespace vantrel::test
