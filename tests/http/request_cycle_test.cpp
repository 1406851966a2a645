// The request cycle: event order, lookup and connection failures, the posted end of a request,
// document names, the time limit, the synchronous wait and MultiThreaded on a worker thread.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <future>
#include <thread>

#include "FreePort.h"
#include "HttpProt.h"
#include "HttpTestUtil.h"
#include "ScriptedPeer.h"
#include "WSocket.h"
#include "WinMessages.h"

namespace vantrel {
namespace {

using test::Answer;
using test::HttpRecorder;
using test::LocalUrl;
using test::ScriptedPeer;
namespace step = test::step;

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

using RequestCycle = test::HttpTest;

TEST_F(RequestCycle, EventOrderOfADirectGet) {
  ScriptedPeer peer(Answer("HTTP/1.0 200 OK\r\nSet-Cookie: s=1\r\nContent-Length: 4\r\n\r\nbody"));
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetURL(LocalUrl(peer.Port(), "/x"));
  ASSERT_TRUE(rec.Run(rqGet));
  // Document chunks may be split by the network: count them as one entry.
  std::vector<std::string> events;
  for (const auto& e : rec.events) {
    const bool data = e.rfind("DocData", 0) == 0;
    if (data && !events.empty() && events.back() == "DocData*") continue;
    events.push_back(data ? "DocData*" : e);
  }
  const std::vector<std::string> want = {"State 1",
                                         "State 3",
                                         "State 4",
                                         "State 2",
                                         "SessionConnected",
                                         "State 5",
                                         "RequestHeaderBegin",
                                         "RequestHeaderEnd",
                                         "HeaderBegin",
                                         "HeaderData HTTP/1.0 200 OK",
                                         "Cookie s=1",
                                         "HeaderData Set-Cookie: s=1",
                                         "HeaderData Content-Length: 4",
                                         "State 6",
                                         "HeaderEnd",
                                         "DocBegin",
                                         "DocData*",
                                         "DocEnd",
                                         "State 0",
                                         "RequestDone 1 0"};
  EXPECT_EQ(events, want) << rec.Joined();
  EXPECT_EQ(rec.document, "body");
  EXPECT_EQ(cli.RequestKind(), rqGet);
  EXPECT_EQ(cli.ReceivedBytes(), 4);
  EXPECT_EQ(cli.DocumentLength(), 4);
  ASSERT_EQ(cli.ResponseHeader().Count(), 3);

  // A second set-ready for the request that has ended changes nothing.
  const std::size_t before = rec.events.size();
  TMessage m;
  m.Msg = WM_HTTP_SET_READY;
  cli.HandleWindowMessage(m);
  test::PumpFor(50);
  EXPECT_EQ(rec.events.size(), before);
}

TEST_F(RequestCycle, UnresolvableHost) {
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(20000);
  cli.SetURL("http://no-such-host.invalid/");
  try {
    cli.GetDocument();
    ADD_FAILURE() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), 404);
    EXPECT_STREQ(e.what(), "can't resolve hostname to IP address");
  }
  EXPECT_EQ(cli.ResponseCode(), 404);
  EXPECT_EQ(rec.doneCount, 1);
  EXPECT_GE(rec.doneError, 11001);  // the resolver's code
  EXPECT_LE(rec.doneError, 11004);
  EXPECT_EQ(cli.RequestState(), hsIdle);
}

TEST_F(RequestCycle, NoHostAtAllEndsLikeAFailedLookup) {
  // An empty host must not leave the component busy for ever.
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(5000);
  cli.SetURL("http:///path");
  try {
    cli.GetDocument();
    ADD_FAILURE() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), 404);
    EXPECT_STREQ(e.what(), "can't resolve hostname to IP address");
  }
  EXPECT_EQ(cli.RequestState(), hsIdle);
  EXPECT_EQ(rec.doneCount, 1);
  EXPECT_NE(rec.doneError, 0);
}

TEST_F(RequestCycle, RefusedConnection) {
  const std::uint16_t port = test::FreeTcpPort();
  ASSERT_NE(port, 0);
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(10000);
  cli.SetURL(LocalUrl(port, "/"));
  try {
    cli.GetDocument();
    ADD_FAILURE() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), 404);
    EXPECT_EQ(e.Message(), SocketErrorText(10061) + " (Error #10061)");
  }
  EXPECT_EQ(rec.doneError, 10061);
  EXPECT_EQ(rec.doneCount, 1);
  EXPECT_FALSE(rec.Has("SessionConnected"));
  EXPECT_FALSE(rec.Has("DocBegin"));
}

TEST_F(RequestCycle, UnusablePortFailsTheConnect) {
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(5000);
  cli.SetURL("http://127.0.0.1:no-such-service-name/");
  try {
    cli.GetDocument();
    ADD_FAILURE() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), 404);
    EXPECT_EQ(e.Message().rfind("can't connect: ", 0), 0u) << e.Message();
  }
  EXPECT_EQ(rec.doneCount, 1);
  EXPECT_EQ(cli.RequestState(), hsIdle);
}

TEST_F(RequestCycle, DocumentNamesAndRequestTargets) {
  struct Case {
    std::string path;
    std::string target;
    std::string name;
  };
  const std::vector<Case> cases = {
      {"", "/", "document.htm"},
      {"/", "/", "document.htm"},
      {"/dir/sub/", "/dir/sub/", "sub"},
      {"/a/b.gif?x=1&y=2", "/a/b.gif?x=1&y=2", "b.gif"},
      {"/" + std::string(300, 'n') + ".txt", "/" + std::string(300, 'n') + ".txt",
       std::string(255, 'n')},
  };
  for (const Case& c : cases) {
    ScriptedPeer peer(Answer("HTTP/1.0 200 OK\r\n\r\n"));
    THttpCli cli(nullptr);
    HttpRecorder rec(cli);
    cli.SetURL(LocalUrl(peer.Port(), c.path));
    cli.StartRequest(rqGet);
    EXPECT_EQ(cli.DocumentName(), c.name) << c.path;
    EXPECT_EQ(cli.CurrentLocation(), cli.URL());
    ASSERT_TRUE(test::PumpUntil([&] { return rec.doneCount == 1; }, 5000));
    ASSERT_TRUE(peer.Join(5000));
    const std::string got = peer.Received();
    EXPECT_EQ(got.substr(0, got.find("\r\n")), "GET " + c.target + " HTTP/1.0") << c.path;
  }
}

TEST_F(RequestCycle, TimeLimitOnASilentServerWaitsWithoutSpinning) {
  ScriptedPeer peer({step::Accept(), step::ReadUntil("\r\n\r\n"), step::Send("HTTP/1.0 200 OK\r\n"),
                     step::WaitForPeerClose().Within(10000)});
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetURL(LocalUrl(peer.Port(), "/"));
  cli.SetTimeLimit(1000);
  const double cpuBefore = ThreadCpuMs();
  const auto start = std::chrono::steady_clock::now();
  try {
    cli.GetDocument();
    ADD_FAILURE() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), 404);
    EXPECT_STREQ(e.what(), "HTTP request timed out (Error #10060)");
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  const double cpu = ThreadCpuMs() - cpuBefore;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  // Blocked, the wait costs well under a millisecond; a polling loop costs hundreds.
  EXPECT_LT(cpu, 50.0) << "the wait used " << cpu << " ms of processor time";
  EXPECT_EQ(cli.ResponseCode(), 404);
  EXPECT_EQ(rec.doneError, 10060);
  EXPECT_EQ(rec.doneCount, 1);
  ASSERT_TRUE(peer.Join(5000));
  EXPECT_TRUE(peer.Succeeded()) << peer.Error();  // the connection was aborted
}

TEST_F(RequestCycle, TimeLimitDuringARelocationAndUnsetByDefault) {
  // The limit covers the whole chain; the timer of a finished request does not fire later.
  ScriptedPeer peer({step::Accept(), step::ReadUntil("\r\n\r\n"),
                     step::Send("HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n"),
                     step::WaitForPeerClose(), step::Accept(), step::ReadUntil("\r\n\r\n"),
                     step::WaitForPeerClose().Within(10000)});
  THttpCli cli(nullptr);
  EXPECT_EQ(cli.TimeLimit(), 0);
  HttpRecorder rec(cli);
  cli.SetURL(LocalUrl(peer.Port(), "/"));
  cli.SetTimeLimit(500);
  ASSERT_TRUE(rec.Run(rqGet));
  EXPECT_EQ(rec.doneError, 10060);
  EXPECT_EQ(rec.Count("LocationChange /next"), 1);
  ASSERT_TRUE(peer.Join(5000));
  EXPECT_TRUE(peer.Succeeded()) << peer.Error();

  ScriptedPeer quick(Answer("HTTP/1.0 200 OK\r\n\r\nfast"));
  cli.SetURL(LocalUrl(quick.Port(), "/"));
  cli.SetTimeLimit(200);
  ASSERT_TRUE(rec.Run(rqGet));
  EXPECT_EQ(rec.doneError, 0);
  test::PumpFor(400);
  EXPECT_EQ(rec.doneCount, 2);
  EXPECT_EQ(cli.ResponseCode(), 200);
}

TEST_F(RequestCycle, MultiThreadedClientOnAWorkerThread) {
  ScriptedPeer peer(Answer("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nworker"));
  const std::uint16_t port = peer.Port();
  std::promise<std::string> result;
  auto future = result.get_future();
  std::thread worker([port, &result] {
    try {
      THttpCli cli(nullptr);
      cli.SetMultiThreaded(true);
      cli.SetTimeLimit(10000);
      std::string doc;
      bool done = false;
      cli.OnDocData = [&doc](TObject*, const char* b, int n) {
        doc.append(b, static_cast<std::size_t>(n));
      };
      cli.OnRequestDone = [&done](TObject*, THttpRequest, std::uint16_t) { done = true; };
      cli.SetURL(LocalUrl(port, "/w"));
      cli.GetDocument();
      result.set_value(done ? doc : "OnRequestDone had not run");
    } catch (const std::exception& e) {
      result.set_value(std::string("exception: ") + e.what());
    }
  });
  const bool ready = future.wait_for(std::chrono::seconds(15)) == std::future_status::ready;
  worker.join();  // bounded by the client's time limit
  ASSERT_TRUE(ready);
  EXPECT_EQ(future.get(), "worker");
}

TEST_F(RequestCycle, DestroyedWhileARequestRuns) {
  ScriptedPeer peer({step::Accept(), step::ReadUntil("\r\n\r\n"), step::WaitForPeerClose()});
  int done = 0;
  {
    auto cli = std::make_unique<THttpCli>(nullptr);
    cli->OnRequestDone = [&done](TObject*, THttpRequest, std::uint16_t) { ++done; };
    cli->SetURL(LocalUrl(peer.Port(), "/"));
    cli->SetTimeLimit(100);
    cli->StartRequest(rqGet);
    ASSERT_TRUE(test::PumpUntil([&] { return cli->RequestState() == hsAwaitingHeader; }, 5000));
  }
  test::PumpFor(300);  // messages and the timer of the destroyed client find nobody
  EXPECT_EQ(done, 0);
  ASSERT_TRUE(peer.Join(5000));
  EXPECT_TRUE(peer.Succeeded()) << peer.Error();

  // Owned by another component: destroyed with it.
  ScriptedPeer peer2({step::Accept(), step::ReadUntil("\r\n\r\n"), step::WaitForPeerClose()});
  {
    TComponent owner(nullptr);
    auto* cli = new THttpCli(&owner);
    cli->SetURL(LocalUrl(peer2.Port(), "/"));
    cli->StartRequest(rqGet);
    ASSERT_TRUE(test::PumpUntil([&] { return cli->RequestState() == hsAwaitingHeader; }, 5000));
  }
  ASSERT_TRUE(peer2.Join(5000));
  EXPECT_TRUE(peer2.Succeeded()) << peer2.Error();
}

TEST_F(RequestCycle, ExceptionInAHandlerEndsTheRequest) {
  // A handler that throws while the document arrives: the connection is aborted and the
  // request fails instead of waiting for ever.
  ScriptedPeer peer({step::Accept(), step::ReadUntil("\r\n\r\n"),
                     step::Send("HTTP/1.0 200 OK\r\n\r\nfirst"), step::WaitForPeerClose()});
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(10000);
  cli.SetURL(LocalUrl(peer.Port(), "/"));
  cli.OnDocData = [](TObject*, const char*, int) { throw Exception("disk full"); };
  try {
    cli.GetDocument();
    ADD_FAILURE() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), httpErrBadResponse);
    EXPECT_STREQ(e.what(), "HTTP response could not be processed: disk full");
  }
  EXPECT_EQ(rec.doneCount, 1);
  ASSERT_TRUE(peer.Join(5000));
}

}  // namespace
}  // namespace vantrel
