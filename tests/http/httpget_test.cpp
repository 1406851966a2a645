// The httpget program as a user runs it: help, option values, and how a failure reads.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "FreePort.h"
#include "HttpTestUtil.h"
#include "TempDir.h"

namespace vantrel {
namespace {

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

// Runs httpget with the arguments, each quoted for the shell.
Outcome Httpget(const std::vector<std::string>& args) {
  test::TempDir dir;
  std::string command = std::string("'") + HTTPGET_PATH + "'";
  for (const std::string& a : args) command += " '" + a + "'";
  const int status = std::system(
      (command + " >" + dir.File("out") + " 2>" + dir.File("err") + " </dev/null").c_str());
  const auto read = [&dir](const char* name) {
    std::ifstream in(dir.File(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read("out"), read("err")};
}

TEST(Httpget, HelpOptionValuesAndFailureTexts) {
  for (const char* help : {"-h", "--help"}) {
    const Outcome o = Httpget({help});
    EXPECT_EQ(o.exitCode, 0) << help;
    EXPECT_NE(o.out.find("-t SECONDS"), std::string::npos) << help << ": " << o.out;
  }
  const Outcome bad = Httpget({"-t", "abc", "http://127.0.0.1:1/"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("-t: 'abc'"), std::string::npos) << bad.err;

  // Nothing answered: the failure text alone. A server's status: the text and the status.
  const std::string refused = "http://127.0.0.1:" + std::to_string(test::FreeTcpPort()) + "/";
  const Outcome o = Httpget({"-q", refused});
  EXPECT_EQ(o.exitCode, 2);
  EXPECT_EQ(o.err, "httpget: Connection refused (Error #10061)\n");
  test::ScriptedPeer server(test::Answer("HTTP/1.0 404 Not Found\r\n\r\n"));
  EXPECT_EQ(Httpget({"-q", test::LocalUrl(server.Port(), "/")}).err, "httpget: Not Found (404)\n");
}

}  // namespace
}  // namespace vantrel
