// The example programs against local peers: each server example with its client, httpget
// against nginx. Every program must end by itself, with exit status 0 and the exact output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "FreePort.h"
#include "TempDir.h"
#include "TestServers.h"

namespace vantrel::test {
namespace {

constexpr int kDeadlineMs = 30000;

struct Result {
  int exitCode = -1;
  std::string output;  // standard output and error together
};

// Runs a program to its end (killed at the deadline, which fails the exit code).
Result RunToEnd(std::vector<std::string> argv) {
  TempDir dir;
  ChildProcess child(std::move(argv), dir.File("log"));
  EXPECT_TRUE(child.Started()) << child.Error();
  EXPECT_TRUE(child.WaitForExit(kDeadlineMs)) << "still running at the deadline";
  child.Stop();
  return {child.ExitCode(), ReadFile(dir.File("log"))};
}

// A server example on a free port, stopped with the test.
struct ServerExample {
  explicit ServerExample(const char* program)
      : port(std::to_string(FreeTcpPort())), process({program, port}, dir.File("log")) {}
  bool Listening() { return process.WaitForPort(std::stoi(port), kDeadlineMs); }
  std::string Log() const { return ReadFile(dir.File("log")); }

  TempDir dir;
  std::string port;
  ChildProcess process;
};

TEST(ExamplesSmoke, EchoClientGetsEveryByteBack) {
  ServerExample server(ECHO_SERVER);
  ASSERT_TRUE(server.Listening()) << server.Log();
  const std::string longLine(20000, 'x');
  const Result run = RunToEnd({ECHO_CLIENT, "127.0.0.1", server.port, "first line", "", longLine});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  const std::string expected = "first line\n\n" + longLine + "\n";
  EXPECT_EQ(run.output.size(), expected.size());
  EXPECT_TRUE(run.output == expected) << run.output.substr(0, 200);

  // Nothing listens any more: the client says so and fails.
  server.process.Stop();
  const Result refused = RunToEnd({ECHO_CLIENT, "127.0.0.1", server.port, "lost"});
  EXPECT_EQ(refused.exitCode, 1) << refused.output;
  EXPECT_NE(refused.output.find("echo_client: "), std::string::npos) << refused.output;
}

TEST(ExamplesSmoke, SyncClientTalksToTheLineServer) {
  ServerExample server(LINE_SERVER);
  ASSERT_TRUE(server.Listening()) << server.Log();
  // "ab", backspace, "c": the server edits the line to "ac" before answering.
  const Result run =
      RunToEnd({SYNC_CLIENT, "-e", "127.0.0.1", server.port, "hello", "ab\bc", "", "quit"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output,
            "line server: type a line, \"quit\" to leave\r\n"
            "got 5 bytes: hello\r\n"
            "got 2 bytes: ac\r\n"
            "got 0 bytes: \r\n"
            "bye\r\n");
}

TEST(ExamplesSmoke, HttpgetFetchesADocumentByteForByte) {
  NginxServer nginx;
  VANTREL_REQUIRE_SERVER(nginx);
  std::string document;
  for (int i = 0; i < 70000; ++i) document += static_cast<char>(i * 7 % 256);
  ASSERT_TRUE(nginx.AddFile("doc.bin", document));
  TempDir dir;
  const Result run = RunToEnd({HTTPGET, "-q", "-o", dir.File("got"), nginx.Url("/doc.bin")});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(ReadFile(dir.File("got")), document);
}

}  // namespace
}  // namespace vantrel::test
