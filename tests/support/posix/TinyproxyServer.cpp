#include "TestServers.h"

namespace vantrel::test {

TinyproxyServer::TinyproxyServer(const std::string& basicAuth, std::uint16_t connectPort)
    : TestServer("tinyproxy", "vantrel-tinyproxy-") {
  std::string program = Require("tinyproxy", "tinyproxy");
  std::string authLine;
  if (!basicAuth.empty()) {
    auto colon = basicAuth.find(':');
    if (colon == std::string::npos) {
      error_ = "tinyproxy: basic authorisation must be given as user:password";
      return;
    }
    authLine = "BasicAuth " + basicAuth.substr(0, colon) + " " + basicAuth.substr(colon + 1) + "\n";
  }
  Start(
      [&](std::uint16_t port) {
        std::string conf = "Port " + std::to_string(port) +
                           "\n"
                           "Listen 127.0.0.1\n"
                           "Timeout 30\n"
                           "Allow 127.0.0.1\n"
                           "MaxClients 32\n"
                           "LogLevel Info\n"
                           "LogFile \"" +
                           dir_.File("tinyproxy.log") + "\"\n" + "PidFile \"" +
                           dir_.File("tinyproxy.pid") + "\"\n" + authLine;
        // Without a ConnectPort line tinyproxy tunnels to every port.
        if (connectPort != 0) conf += "ConnectPort " + std::to_string(connectPort) + "\n";
        WriteFile(dir_.File("tinyproxy.conf"), conf);
        return std::vector<std::string>{program, "-d", "-c", dir_.File("tinyproxy.conf")};
      },
      dir_.File("tinyproxy.log"));
}

std::string TinyproxyServer::Log() const {
  return ReadFile(dir_.File("tinyproxy.log"));
}

}  // namespace vantrel::test
