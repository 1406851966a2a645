// A name with three addresses, from a hosts file of the test's own, in a private mount namespace.
// Its own binary: the lookup runs in a forked child, which must not inherit resolver threads.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "SocketTestUtil.h"

namespace vantrel::test {
namespace {

using HostsTest = SocketTest;

// Runs in the child: swaps /etc/hosts, looks the name up, and writes one line to Out:
// "SKIP <why>", "FAIL <why>" or "OK <error> <DnsResult> <list...>".
std::string LookUpInPrivateNamespace(const std::string& HostsFile) {
  if (unshare(CLONE_NEWNS) != 0) return std::string("SKIP unshare: ") + std::strerror(errno);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::string("SKIP making / private: ") + std::strerror(errno);
  }
  if (mount(HostsFile.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
    return std::string("SKIP bind mount over /etc/hosts: ") + std::strerror(errno);
  }
  std::string Line;
  TWSocket Socket(nullptr);
  int Done = -1;
  Socket.OnDnsLookupDone = [&](TObject*, std::uint16_t Error) { Done = Error; };
  Socket.StartDnsLookup("three.vantrel.test");
  if (!PumpUntil([&] { return Done >= 0; }, 10000)) return "FAIL no OnDnsLookupDone";
  Line = "OK " + std::to_string(Done) + " " + Socket.DnsResult();
  for (const auto& Address : Socket.DnsResultList().Items()) Line += " " + Address;
  // The blocking conversion sees the same file.
  IN_ADDR First;
  First.S_addr = WSocketResolveHost("three.vantrel.test");
  Line += " ";
  Line += SocketApi_inet_ntoa(First);
  return Line;
}

TEST_F(HostsTest, ANameWithThreeAddressesGivesThreeResults) {
  char Dir[] = "/tmp/vantrel-hosts-XXXXXX";
  ASSERT_NE(mkdtemp(Dir), nullptr);
  const std::string HostsFile = std::string(Dir) + "/hosts";
  {
    std::ofstream Out(HostsFile);
    Out << "127.0.0.1 localhost\n"
           "10.77.0.1 three.vantrel.test\n"
           "10.77.0.2 three.vantrel.test\n"
           "10.77.0.3 three.vantrel.test\n";
  }
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    close(Pipe[0]);
    std::string Line;
    try {
      Line = LookUpInPrivateNamespace(HostsFile);
    } catch (const std::exception& E) {
      Line = std::string("FAIL ") + E.what();
    }
    ssize_t Written = write(Pipe[1], Line.data(), Line.size());
    _exit(Written == static_cast<ssize_t>(Line.size()) ? 0 : 1);
  }
  close(Pipe[1]);
  std::string Line;
  char Buffer[512];
  for (ssize_t N; (N = read(Pipe[0], Buffer, sizeof Buffer)) > 0;) Line.append(Buffer, N);
  close(Pipe[0]);
  int Status = 0;
  waitpid(Child, &Status, 0);
  unlink(HostsFile.c_str());
  rmdir(Dir);

  if (Line.rfind("SKIP ", 0) == 0) {
    std::printf("cannot give the test its own /etc/hosts here (%s)\n", Line.c_str() + 5);
    GTEST_SKIP() << Line.substr(5);
  }
  ASSERT_EQ(Line.rfind("OK ", 0), 0u) << Line;
  // "OK <error> <DnsResult> <a> <b> <c> <first address of the blocking conversion>"
  std::vector<std::string> Words;
  for (std::size_t At = 0; At < Line.size();) {
    std::size_t End = Line.find(' ', At);
    if (End == std::string::npos) End = Line.size();
    Words.push_back(Line.substr(At, End - At));
    At = End + 1;
  }
  ASSERT_EQ(Words.size(), 7u) << Line;
  EXPECT_EQ(Words[1], "0");
  const std::set<std::string> Listed{Words[3], Words[4], Words[5]};
  EXPECT_EQ(Listed, (std::set<std::string>{"10.77.0.1", "10.77.0.2", "10.77.0.3"}));
  EXPECT_EQ(Words[2], Words[3]) << "DnsResult is the first of the list";
  EXPECT_EQ(Listed.count(Words[6]), 1u) << "the blocking conversion gives one of the addresses";
}

}  // namespace
}  // namespace vantrel::test
