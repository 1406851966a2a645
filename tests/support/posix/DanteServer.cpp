#include <crypt.h>
#include <unistd.h>

#include "TestServers.h"

namespace vantrel::test {
namespace {

// An unused user and group id for the account that exists only inside the namespace.
constexpr const char* kAccountIds = "64987:64987";

}  // namespace

DanteServer::DanteServer(const std::string& user, const std::string& password)
    : TestServer("danted", "vantrel-dante-") {
  std::string program = Require("danted", "dante-server");
  std::string unshare, sh;
  if (!user.empty()) {
    unshare = Require("unshare", "util-linux");
    sh = Require("sh", "dash");
    if (geteuid() != 0 && skipReason_.empty())
      skipReason_ =
          "dante with a user name needs root (it checks system accounts, given to it in a private "
          "mount namespace)";
    if (!skipReason_.empty()) return;
    // Copies of the account files with the test account added, mounted over the real ones
    // for dante alone.
    crypt_data data{};
    const char* hash = crypt_r(password.c_str(), "$6$vantreltest$", &data);
    if (hash == nullptr || hash[0] == '*') {
      error_ = "danted: cannot hash the password";
      return;
    }
    std::string passwd = ReadFile("/etc/passwd");
    std::string shadow = ReadFile("/etc/shadow");
    if (passwd.empty() || shadow.empty()) {
      error_ = "danted: cannot read /etc/passwd or /etc/shadow";
      return;
    }
    if (passwd.back() != '\n') passwd += '\n';
    if (shadow.back() != '\n') shadow += '\n';
    passwd += user + ":x:" + kAccountIds + "::/nonexistent:/usr/sbin/nologin\n";
    shadow += user + ":" + hash + ":19000:0:99999:7:::\n";
    if (!WriteFile(dir_.File("passwd"), passwd) || !WriteFile(dir_.File("shadow"), shadow)) {
      error_ = "danted: cannot write the account files";
      return;
    }
  }
  Start(
      [&](std::uint16_t port) {
        std::string conf = "logoutput: " + dir_.File("danted.log") +
                           "\n"
                           "internal: 127.0.0.1 port = " +
                           std::to_string(port) +
                           "\n"
                           "external: 127.0.0.1\n"
                           "clientmethod: none\n"
                           "socksmethod: " +
                           (user.empty() ? "none" : "username") +
                           "\n"
                           "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                           "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
        WriteFile(dir_.File("danted.conf"), conf);
        std::vector<std::string> danted{program, "-f", dir_.File("danted.conf"), "-p",
                                        dir_.File("danted.pid")};
        if (user.empty()) return danted;
        std::string script = "mount --bind '" + dir_.File("passwd") +
                             "' /etc/passwd && mount --bind '" + dir_.File("shadow") +
                             "' /etc/shadow && exec";
        for (const auto& arg : danted) script += " '" + arg + "'";
        return std::vector<std::string>{unshare, "--mount", "--propagation", "private",
                                        sh,      "-c",      script};
      },
      dir_.File("danted.log"));
}

std::string DanteServer::Log() const {
  return ReadFile(dir_.File("danted.log"));
}

}  // namespace vantrel::test
