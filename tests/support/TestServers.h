// This is an internal header of the test support library.
// Real servers for integration tests, each started in the foreground on a free port of
// 127.0.0.1 with its configuration in a private temporary folder, and stopped (with the whole
// process group) on destruction.
//
// Usage:
//   NginxServer nginx;
//   VANTREL_REQUIRE_SERVER(nginx);  // skips when nginx is not installed, fails when it won't start
//   ... connect to nginx.Port() ...
//
// Thread rule: construct, use and destroy a server on one thread (the child process is tied to
// the thread that started it).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"

// Skips the test when the server cannot be run on this machine, fails it when it did not start.
#define VANTREL_REQUIRE_SERVER(server)                                         \
  do {                                                                         \
    if (!(server).SkipReason().empty()) GTEST_SKIP() << (server).SkipReason(); \
    ASSERT_TRUE((server).Running()) << (server).Error();                       \
  } while (0)

namespace vantrel::test {

class ChildProcess;

// Finds an executable in PATH, /usr/sbin and /sbin; "" when there is none.
std::string FindProgram(const std::string& name);

// What the servers below share: the temporary folder, the process, start-up with retries.
class TestServer {
 public:
  virtual ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // True while the server process is alive (it accepted a connection during start-up).
  bool Running();
  // Why the server cannot be run here (a program is missing, root is needed), else "".
  const std::string& SkipReason() const { return skipReason_; }
  // Why the server did not start although it could have (with the end of its log), else "".
  const std::string& Error() const { return error_; }
  std::uint16_t Port() const { return port_; }
  // The private folder holding the configuration and the logs.
  const std::string& Dir() const { return dir_.Path(); }
  // What the server wrote to its standard output and error.
  std::string Output() const;
  // Stops the server now (the destructor does it otherwise).
  void Stop();

 protected:
  TestServer(const char* name, const char* dirPrefix);
  // Finds the program or sets the skip reason; returns its path or "".
  std::string Require(const char* program, const char* package);
  // Writes the configuration for a port and returns the command line to run.
  using Prepare = std::function<std::vector<std::string>(std::uint16_t port)>;
  // Starts on a free port and waits until the port accepts; retries on another port when the
  // server exits early (the port may have been taken meanwhile). Sets Error() on failure, with
  // logFile's end appended.
  void Start(const Prepare& prepare, const std::string& logFile);

  std::string name_;
  std::string skipReason_;
  std::string error_;
  std::uint16_t port_ = 0;
  TempDir dir_;
  // Shared rather than unique so that this header needs no complete type: the Windows build
  // starts no processes.
  std::shared_ptr<ChildProcess> process_;
};

// TLS for nginx: Port() then speaks TLS with this certificate and key. With clientCA set a
// client certificate signed by it is required. With plainToo a second port, PlainPort(), serves
// the same documents over plain HTTP; "{PLAIN}" and "{TLS}" in the extra locations are replaced
// by the two ports.
struct NginxTls {
  std::string cert;
  std::string key;
  std::string clientCA;
  bool plainToo = false;
};

// nginx serving a document root it creates, with optional extra server-level text such as
// `location /moved { return 302 /a.txt; }` or `location /x { return 200 "text"; }`.
class NginxServer : public TestServer {
 public:
  explicit NginxServer(const std::string& extraLocations = {}, const NginxTls& tls = {});
  // The plain port beside a TLS one (NginxTls::plainToo), else 0.
  std::uint16_t PlainPort() const { return plainPort_; }

  const std::string& DocRoot() const { return docRoot_; }
  // Writes a document under the root (folders are created).
  bool AddFile(const std::string& relativePath, const std::string& contents);
  // "http://127.0.0.1:<port>" + path ("https://" for a TLS port).
  std::string Url(const std::string& path) const;
  // The access log ("combined" format, one line per request) and the error log.
  std::string AccessLogPath() const { return dir_.File("access.log"); }
  std::string AccessLog() const;
  std::string ErrorLog() const;

 private:
  std::string docRoot_;
  std::uint16_t plainPort_ = 0;
  bool tls_ = false;
};

// tinyproxy, an HTTP proxy (absolute URL in the request line) allowing 127.0.0.1, optionally
// with basic authorisation given as "user:password". CONNECT reaches any port, or only
// connectPort when it is given.
class TinyproxyServer : public TestServer {
 public:
  explicit TinyproxyServer(const std::string& basicAuth = {}, std::uint16_t connectPort = 0);
  std::string Log() const;
};

// microsocks, a SOCKS 5 server, optionally with a user name and password (-u/-P).
class MicrosocksServer : public TestServer {
 public:
  MicrosocksServer(const std::string& user = {}, const std::string& password = {});
};

// dante (danted), a SOCKS 4 and 5 server that may connect to 127.0.0.1 only. It does not do
// SOCKS 4A. With a user name, SOCKS 5 user name/password is required and SOCKS 4 is refused.
//
// dante checks user names against the system's account files. Rather than adding an account to
// the machine, the server then runs in a private mount namespace whose /etc/passwd and
// /etc/shadow are copies with the account added: that needs root (as in CI); elsewhere such a
// server reports a skip reason. Without a user name it runs as any user.
class DanteServer : public TestServer {
 public:
  DanteServer(const std::string& user = {}, const std::string& password = {});
  std::string Log() const;
};

}  // namespace vantrel::test
