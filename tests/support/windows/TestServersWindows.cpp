// The real servers exist only as Linux programs: in the Windows build every server reports a skip
// reason, so the tests that need one skip with it and the scripted-peer tests run.
#include "TestServers.h"

namespace vantrel::test {
namespace {

constexpr const char* kNotOnWindows =
    " runs only as a Linux program; the Windows build of the tests does not start it";

}  // namespace

std::string FindProgram(const std::string&) {
  return {};
}

TestServer::TestServer(const char* name, const char* dirPrefix) : name_(name), dir_(dirPrefix) {
  skipReason_ = name_ + kNotOnWindows;
}

TestServer::~TestServer() = default;

void TestServer::Stop() {}

bool TestServer::Running() {
  return false;
}

std::string TestServer::Output() const {
  return {};
}

NginxServer::NginxServer(const std::string&, const NginxTls&)
    : TestServer("nginx", "vantrel-nginx-") {}

bool NginxServer::AddFile(const std::string&, const std::string&) {
  return false;
}

std::string NginxServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(Port()) + path;
}

std::string NginxServer::AccessLog() const {
  return {};
}

std::string NginxServer::ErrorLog() const {
  return {};
}

TinyproxyServer::TinyproxyServer(const std::string&, std::uint16_t)
    : TestServer("tinyproxy", "vantrel-tinyproxy-") {}

std::string TinyproxyServer::Log() const {
  return {};
}

MicrosocksServer::MicrosocksServer(const std::string&, const std::string&)
    : TestServer("microsocks", "vantrel-microsocks-") {}

DanteServer::DanteServer(const std::string&, const std::string&)
    : TestServer("dante", "vantrel-dante-") {}

std::string DanteServer::Log() const {
  return {};
}

}  // namespace vantrel::test
