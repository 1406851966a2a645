// The httpget program as a user runs it: help, option values, and how a failure reads.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "FreePort.h"
#include "HttpTestUtil.h"
#include "ScriptedPeer.h"
#include "TempDir.h"

namespace vantrel {
namespace {

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs httpget with the arguments (each quoted for the shell).
Outcome Httpget(const std::vector<std::string>& args) {
  test::TempDir dir;
  std::string command = std::string("'") + HTTPGET_PATH + "'";
  for (const std::string& a : args) command += " '" + a + "'";
  command += " >'" + dir.File("out") + "' 2>'" + dir.File("err") + "' </dev/null";
  const int status = std::system(command.c_str());
  Outcome o;
  o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  o.out = ReadFile(dir.File("out"));
  o.err = ReadFile(dir.File("err"));
  return o;
}

TEST(Httpget, HelpOptionValuesAndFailureTexts) {
  for (const char* help : {"-h", "--help"}) {
    const Outcome o = Httpget({help});
    EXPECT_EQ(o.exitCode, 0) << help;
    EXPECT_NE(o.out.find("-t SECONDS"), std::string::npos) << help << ": " << o.out;
    EXPECT_EQ(o.err, "") << help;
  }

  const Outcome bad = Httpget({"-t", "abc", "http://127.0.0.1:1/"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("-t: 'abc'"), std::string::npos) << bad.err;

  // Nothing answered: the failure text alone. A server's status: the text and the status.
  const std::string refused = "http://127.0.0.1:" + std::to_string(test::FreeTcpPort()) + "/";
  const Outcome o = Httpget({"-q", "-t", "10", refused});
  EXPECT_EQ(o.exitCode, 2);
  EXPECT_EQ(o.err, "httpget: Connection refused (Error #10061)\n");

  test::ScriptedPeer server(test::Answer("HTTP/1.0 404 Not Found\r\n\r\n"));
  const Outcome missing = Httpget({"-q", "-t", "10", test::LocalUrl(server.Port(), "/")});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_EQ(missing.err, "httpget: Not Found (404)\n");
}

}  // namespace
}  // namespace vantrel
