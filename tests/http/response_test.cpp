// Response processing against scripted servers: status lines, fields, the header-less answer,
// the document, early closes (a request that ends short fails), line limits and relocation.
#include <gtest/gtest.h>

#include <algorithm>

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
using test::ScriptStep;
namespace step = test::step;

// One client against one scripted server.
struct Exchange {
  explicit Exchange(std::vector<ScriptStep> script)
      : peer(std::move(script)), cli(nullptr), rec(cli) {
    cli.SetTimeLimit(10000);
    cli.SetReceiveStream(&doc);
  }
  // Runs the request to its end; the exception's code (0 when none was raised).
  int Run(THttpRequest kind = rqGet, const std::string& path = "/doc") {
    cli.SetURL(LocalUrl(peer.Port(), path));
    error.clear();
    try {
      cli.RunRequest(kind);
      return 0;
    } catch (const EHttpException& e) {
      error = e.what();
      return e.HttpCode();
    }
  }

  ScriptedPeer peer;
  THttpCli cli;
  HttpRecorder rec;
  TMemoryStream doc;
  std::string error;
};

using Response = test::HttpTest;

TEST_F(Response, StatusLineVariants) {
  struct Case {
    std::string first;
    int code;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1 200 OK", 200, "OK"},
      {"HTTP/1.0 203 Non-Authoritative Information", 203, "Non-Authoritative Information"},
      {"HTTP/1.0 200", 200, ""},
      {"HTTP/2.0 200 OK", 0, ""},  // another version: not a status line
      {"http/1.0 200 OK", 0, ""},  // lower case: not a status line
      {"HTTP/1.1 299 Fine: really", 299, "Fine: really"},
  };
  for (const Case& c : cases) {
    Exchange x(Answer(c.first + "\r\nX-A: b\r\n\r\nbody"));
    EXPECT_EQ(x.Run(), 0) << c.first << ": " << x.error;
    EXPECT_EQ(x.cli.ResponseCode(), c.code) << c.first;
    if (c.code != 0) {
      EXPECT_EQ(x.cli.ResponseText(), c.text) << c.first;
    }
    ASSERT_EQ(x.cli.ResponseHeader().Count(), 2) << c.first;
    EXPECT_EQ(x.cli.ResponseHeader()[0], c.first);
    EXPECT_TRUE(x.rec.Has("HeaderData " + c.first)) << c.first;
    EXPECT_EQ(x.doc.AsString(), "body") << c.first;
  }
}

TEST_F(Response, FieldsAreReadAfterTheColonAndOptionalWhiteSpace) {
  Exchange x(
      Answer("HTTP/1.0 200 OK\r\n"
             "Content-Length: 1234\r\n"
             "CONTENT-TYPE: Image/GIF\r\n"
             "Set-Cookie: id=42; path=/\r\n"
             "WWW-Authenticate: Basic realm=\"r\"\r\n"
             "Content-Range: bytes 100-199/1000\r\n"
             "No colon here\r\n"
             "\r\n"));
  EXPECT_EQ(x.Run(rqHead), 0) << x.error;
  EXPECT_EQ(x.cli.DocumentLength(), 1234);
  EXPECT_EQ(x.cli.DocumentType(), "image/gif");
  EXPECT_TRUE(x.rec.Has("Cookie id=42; path=/"));
  ASSERT_EQ(x.cli.AuthChallenges().Count(), 1);
  EXPECT_EQ(x.cli.AuthChallenges()[0], "Basic realm=\"r\"");
  EXPECT_EQ(x.cli.ContentRangeBegin(), "100");
  EXPECT_EQ(x.cli.ContentRangeEnd(), "199");
  EXPECT_TRUE(x.rec.Has("HeaderData No colon here"));
  EXPECT_EQ(x.cli.ResponseHeader().Count(), 7);
  // A HEAD answer has no document even though a length was announced.
  EXPECT_FALSE(x.rec.Has("DocBegin"));
  EXPECT_FALSE(x.rec.Has("DocEnd"));
  EXPECT_EQ(x.rec.doneError, 0);

  // The white space around a value is optional: without it nothing of the value is lost, so a
  // document cut off short of the length is a failure.
  Exchange y(
      Answer("HTTP/1.0 200 OK\r\nContent-Length:1234\r\nContent-Type:\tTEXT/Plain  \r\n\r\n" +
             std::string(500, 'd')));
  EXPECT_EQ(y.Run(rqGet), httpErrShortResponse) << y.error;
  EXPECT_EQ(y.cli.DocumentLength(), 1234);
  EXPECT_EQ(y.cli.DocumentType(), "text/plain");
  EXPECT_EQ(y.cli.ReceivedBytes(), 500);
}

TEST_F(Response, ReceivedRangeIsAskedForByTheNextRequest) {
  Exchange x({step::Accept(), step::ReadUntil("\r\n\r\n"),
              step::Send("HTTP/1.0 206 Partial\r\nContent-Range: bytes 100-199/1000\r\n\r\n"),
              step::Close(), step::Accept(), step::ReadUntil("\r\n\r\n"),
              step::Send("HTTP/1.0 200 OK\r\n\r\n"), step::Close()});
  EXPECT_EQ(x.Run(rqHead), 0) << x.error;
  EXPECT_EQ(x.Run(rqHead), 0) << x.error;
  ASSERT_TRUE(x.peer.Join(5000));
  EXPECT_EQ(x.peer.Received(0).find("Range:"), std::string::npos);
  EXPECT_NE(x.peer.Received(1).find("\r\nRange: bytes=100-199\r\n"), std::string::npos)
      << x.peer.Received(1);
}

TEST_F(Response, HeaderlessHtmlAnswerIsTheDocument) {
  Exchange x(Answer("<HtMl><body>hi\r\nsecond line\n"));
  EXPECT_EQ(x.Run(), 0) << x.error;
  EXPECT_EQ(x.cli.ResponseCode(), 0);
  EXPECT_EQ(x.cli.DocumentType(), "text/html");
  EXPECT_EQ(x.cli.ResponseHeader().Count(), 0);
  EXPECT_FALSE(x.rec.Has("HeaderData <HtMl><body>hi"));
  ASSERT_FALSE(x.rec.chunks.empty());
  // The document arrives as sent, line ends included.
  EXPECT_EQ(x.rec.document, "<HtMl><body>hi\r\nsecond line\n");
  EXPECT_EQ(x.doc.AsString(), "<HtMl><body>hi\r\nsecond line\n");
  std::vector<std::string> order;
  for (const auto& e : x.rec.events)
    if (e == "HeaderBegin" || e == "HeaderEnd" || e == "DocBegin" || e == "DocEnd")
      order.push_back(e);
  EXPECT_EQ(order, (std::vector<std::string>{"HeaderBegin", "HeaderEnd", "DocBegin", "DocEnd"}));
  EXPECT_EQ(x.cli.FailureCode(), 0);
  EXPECT_EQ(x.rec.doneError, 0);
}

TEST_F(Response, HeaderAndFirstDocumentBytesInOneEvent) {
  const std::string body = std::string("\0\x01\r\n", 4) + "payload";
  Exchange x(Answer("HTTP/1.0 200 OK\r\nContent-Length: 11\r\n\r\n" + body));
  EXPECT_EQ(x.Run(), 0) << x.error;
  ASSERT_FALSE(x.rec.chunks.empty());
  EXPECT_EQ(x.rec.chunks[0], body);  // unchanged, zero byte and line end included
  EXPECT_EQ(x.doc.AsString(), body);
  EXPECT_EQ(x.cli.ReceivedBytes(), 11);
  // HeaderEnd is directly followed by the document.
  for (std::size_t i = 0; i + 2 < x.rec.events.size(); ++i) {
    if (x.rec.events[i] != "HeaderEnd") continue;
    EXPECT_EQ(x.rec.events[i + 1], "DocBegin");
    EXPECT_EQ(x.rec.events[i + 2], "DocData 11");
  }
}

TEST_F(Response, ExeServedAsHtmlIsNamedHtm) {
  Exchange x(Answer("HTTP/1.0 200 OK\r\nContent-Type: TEXT/HTML\r\n\r\n<p>"));
  EXPECT_EQ(x.Run(rqGet, "/files/Setup.EXE?v=2"), 0) << x.error;
  EXPECT_EQ(x.cli.DocumentType(), "text/html");
  EXPECT_EQ(x.cli.DocumentName(), "Setup.htm");

  Exchange y(Answer("HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\nMZ"));
  EXPECT_EQ(y.Run(rqGet, "/files/setup.exe"), 0) << y.error;
  EXPECT_EQ(y.cli.DocumentName(), "setup.exe");
}

TEST_F(Response, NotFoundWhoseRestArrivesLater) {
  Exchange x({step::Accept(), step::ReadUntil("\r\n\r\n"), step::Send("HTTP/1.0 404 Not Found\r\n"),
              step::Pause(300), step::Send("Content-Type: text/html\r\n\r\n<html>gone</html>"),
              step::Close()});
  EXPECT_EQ(x.Run(), 404);
  EXPECT_EQ(x.error, "Not Found");
  EXPECT_EQ(x.rec.doneError, 0);
  EXPECT_FALSE(x.rec.Has("DocBegin"));
  EXPECT_FALSE(x.rec.Has("HeaderEnd"));
  EXPECT_EQ(x.doc.Size(), 0);
}

TEST_F(Response, NotFoundWithEverythingTogether) {
  Exchange x(Answer("HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\ngone"));
  EXPECT_EQ(x.Run(), 404);
  EXPECT_EQ(x.error, "Not Found");
  // The lines held with the status line are still processed after the close.
  EXPECT_TRUE(x.rec.Has("HeaderEnd"));
  EXPECT_TRUE(x.rec.Has("DocBegin"));
  EXPECT_EQ(x.rec.document, "gone");
  EXPECT_FALSE(x.rec.Has("DocEnd"));
  EXPECT_EQ(x.rec.doneError, 0);
}

TEST_F(Response, LineTooLongEndsTheRequest) {
  Exchange x({step::Accept(), step::ReadUntil("\r\n\r\n"),
              step::Send("HTTP/1.0 200 OK\r\nX-Long: " + std::string(9000, 'a')),
              step::WaitForPeerClose()});
  EXPECT_EQ(x.Run(), httpErrLineTooLong);
  EXPECT_EQ(x.error, "HTTP line too long");
  EXPECT_EQ(x.rec.doneError, httpErrLineTooLong);
  ASSERT_TRUE(x.peer.Join(5000));
  EXPECT_TRUE(x.peer.Succeeded()) << x.peer.Error();  // the client closed the connection
}

TEST_F(Response, AHeaderLineMayFillTheLineBufferExactly) {
  // 8192 bytes with its line end are taken; one byte more is too long.
  const auto Line = [](std::size_t size) { return "X: " + std::string(size - 5, 'a') + "\r\n"; };
  Exchange x(Answer("HTTP/1.0 200 OK\r\n" + Line(8192) + "\r\nbody"));
  EXPECT_EQ(x.Run(), 0);
  EXPECT_EQ(x.rec.document, "body");
  Exchange y(Answer("HTTP/1.0 200 OK\r\n" + Line(8193) + "\r\nbody"));
  EXPECT_EQ(y.Run(), httpErrLineTooLong);
}

TEST_F(Response, ZeroByteHidesTheLineEnds) {
  // Below the buffer size the line waits for more and the close cuts the header off; above
  // it the line is too long.
  Exchange x(Answer(std::string("HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\nshort body", 34)));
  EXPECT_EQ(x.Run(), httpErrShortResponse);
  EXPECT_EQ(x.error, "HTTP response ended short: header cut off");
  EXPECT_EQ(x.cli.ResponseCode(), 200);
  EXPECT_FALSE(x.rec.Has("HeaderEnd"));

  Exchange y(
      {step::Accept(), step::ReadUntil("\r\n\r\n"),
       step::Send(std::string("HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\n", 26) + std::string(9000, 'd')),
       step::WaitForPeerClose()});
  EXPECT_EQ(y.Run(), httpErrLineTooLong);
}

TEST_F(Response, NumbersThatAreNotNumbersFailTheRequest) {
  Exchange x(Answer("HTTP/1.0 2x0 OK\r\n\r\nbody"));
  EXPECT_EQ(x.Run(), httpErrBadResponse);
  EXPECT_EQ(x.error, "HTTP response could not be processed: '2x0' is not a valid integer value");

  Exchange y(Answer("HTTP/1.0 200 OK\r\nContent-Length: 12abc\r\n\r\nbody"));
  EXPECT_EQ(y.Run(), httpErrBadResponse);
  EXPECT_EQ(y.error, "HTTP response could not be processed: '12abc' is not a valid integer value");
  EXPECT_EQ(y.rec.doneError, httpErrBadResponse);
}

TEST_F(Response, ShortResponsesFail) {
  {  // nothing at all
    Exchange x({step::Accept(), step::ReadUntil("\r\n\r\n"), step::Close()});
    EXPECT_EQ(x.Run(), httpErrShortResponse);
    EXPECT_EQ(x.error, "HTTP response ended short: no response");
    EXPECT_EQ(x.rec.doneError, httpErrShortResponse);
    EXPECT_EQ(x.cli.FailureCode(), httpErrShortResponse);
  }
  {  // header cut off before its empty line
    Exchange x(Answer("HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n"));
    EXPECT_EQ(x.Run(), httpErrShortResponse);
    EXPECT_EQ(x.error, "HTTP response ended short: header cut off");
  }
  {  // fewer bytes than announced: the bytes delivered stay delivered
    Exchange x(Answer("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(40, 'g')));
    EXPECT_EQ(x.Run(), httpErrShortResponse);
    EXPECT_EQ(x.error, "HTTP response ended short: received 40 of 100 document bytes");
    EXPECT_EQ(x.doc.Size(), 40);
    EXPECT_TRUE(x.rec.Has("DocEnd"));
  }
  {  // reset during the document
    Exchange x(
        {step::Accept(), step::ReadUntil("\r\n\r\n"),
         step::Send("HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\n" + std::string(40, 'g')),
         step::Pause(300), step::Reset()});
    EXPECT_EQ(x.Run(), httpErrShortResponse);
    EXPECT_EQ(x.error, "HTTP response ended short: connection broken during the document: " +
                           SocketErrorText(10054) + " (Error #10054)");
    EXPECT_EQ(x.rec.doneError, 10054);
    EXPECT_EQ(x.doc.Size(), 40);
  }
  // Not short: no length announced, HEAD, 304, the whole announced length, a header-less answer.
  for (const auto& [kind, answer] : std::vector<std::pair<THttpRequest, std::string>>{
           {rqGet, "HTTP/1.0 200 OK\r\n\r\nanything"},
           {rqHead, "HTTP/1.0 200 OK\r\nContent-Length: 500\r\n\r\n"},
           {rqGet, "HTTP/1.0 304 Not Modified\r\nContent-Length: 500\r\n\r\n"},
           {rqGet, "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabcdef"},
           {rqGet, "<html>no header\nno line end at the end"},
       }) {
    Exchange x(Answer(answer));
    EXPECT_EQ(x.Run(kind), 0) << answer << ": " << x.error;
    EXPECT_EQ(x.rec.doneError, 0) << answer;
  }
}

TEST_F(Response, RelocationsToAPathAFileNameAndAnotherHost) {
  ScriptedPeer other({step::Accept(), step::ReadUntil("\r\n\r\n"),
                      step::Send("HTTP/1.0 200 OK\r\n\r\nfinal"), step::Close()});
  const std::string absolute = LocalUrl(other.Port(), "/there?x=1");
  Exchange x({step::Accept(), step::ReadUntil("\r\n\r\n"),
              step::Send("HTTP/1.0 302 Found\r\nLocation: /second\r\n\r\nbody of the 302"),
              step::Close(), step::Accept(), step::ReadUntil("\r\n\r\n"),
              step::Send("HTTP/1.0 301 Moved\r\nLocation: third.html\r\n\r\n"), step::Close(),
              step::Accept(), step::ReadUntil("\r\n\r\n"),
              step::Send("HTTP/1.0 302 Found\r\nLocation: " + absolute + "\r\n\r\n"),
              step::Close()});
  EXPECT_EQ(x.Run(rqGet, "/first"), 0) << x.error;
  ASSERT_TRUE(x.peer.Join(5000));
  ASSERT_TRUE(other.Join(5000));
  const auto firstLine = [](const std::string& s) { return s.substr(0, s.find("\r\n")); };
  EXPECT_EQ(firstLine(x.peer.Received(0)), "GET /first HTTP/1.0");
  EXPECT_EQ(firstLine(x.peer.Received(1)), "GET /second HTTP/1.0");
  // A bare name: scheme, "://", the current host and port (not 80), "/" and the name.
  const std::string third = LocalUrl(x.peer.Port(), "/third.html");
  EXPECT_EQ(firstLine(x.peer.Received(2)), "GET " + third + " HTTP/1.0");
  // An absolute URL: that host and port are connected to and the URL, with its port, goes in
  // the request line.
  const std::string other3 = other.Received();
  EXPECT_EQ(firstLine(other3), "GET " + absolute + " HTTP/1.0");
  EXPECT_NE(other3.find("\r\nHost: 127.0.0.1\r\n"), std::string::npos);
  EXPECT_EQ(x.doc.AsString(), "final");  // no document of the relocations
  EXPECT_EQ(x.rec.Count("LocationChange /second"), 1);
  EXPECT_EQ(x.rec.Count("LocationChange " + third), 1);
  EXPECT_EQ(x.rec.Count("RequestDone 1 0"), 1);
  EXPECT_EQ(x.cli.CurrentLocation(), absolute);
  // Every response's header lines, in order.
  EXPECT_EQ(x.cli.ResponseHeader().Count(), 7);
  EXPECT_EQ(x.cli.ResponseHeader()[6], "HTTP/1.0 200 OK");
}

TEST_F(Response, RelocationLoopIsBounded) {
  std::vector<ScriptStep> script;
  for (int i = 0; i <= HttpMaxRelocations; ++i) {
    script.push_back(step::Accept());
    script.push_back(step::ReadUntil("\r\n\r\n"));
    script.push_back(step::Send("HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\n"));
    script.push_back(step::WaitForPeerClose());
  }
  script.push_back(step::Accept().Within(300));  // must not come
  Exchange x(script);
  EXPECT_EQ(x.Run(rqGet, "/loop"), httpErrTooManyRelocations);
  EXPECT_EQ(x.error, "HTTP relocation limit reached: more than 20 relocations");
  EXPECT_EQ(x.rec.doneError, httpErrTooManyRelocations);
  EXPECT_EQ(x.rec.doneCount, 1);
  ASSERT_TRUE(x.peer.Join(5000));
  EXPECT_EQ(x.peer.Connections(), HttpMaxRelocations + 1);
}

TEST_F(Response, RelocationTargetWithControlBytesIsRefused) {
  Exchange x({step::Accept(), step::ReadUntil("\r\n\r\n"),
              step::Send("HTTP/1.0 302 Found\r\nLocation: /a\rX-Injected: 1\r\n\r\n"),
              step::WaitForPeerClose(), step::Accept().Within(300)});
  EXPECT_EQ(x.Run(), httpErrControlChar);
  EXPECT_EQ(x.error, "HTTP request refused: control character in relocation target");
  ASSERT_TRUE(x.peer.Join(5000));
  EXPECT_EQ(x.peer.Connections(), 1);
}

TEST_F(Response, DataWithoutAnyRequestIsDropped) {
  // The control socket of a client that never made a request reads and drops what arrives.
  const std::string junk = "HTTP/1.0 200 OK\r\nSet-Cookie: a=b\r\n\r\ndocument";
  ScriptedPeer peer({step::Accept(), step::Send(junk), step::WaitForPeerClose()});
  THttpCli idle(nullptr);
  HttpRecorder rec(idle);
  TWSocket* socket = idle.CtrlSocket();
  socket->SetAddr("127.0.0.1");
  socket->SetPort(std::to_string(peer.Port()));
  socket->Connect();
  ASSERT_TRUE(
      test::PumpUntil([&] { return socket->ReadCount() == static_cast<int>(junk.size()); }, 5000));
  socket->CloseSession();
  ASSERT_TRUE(peer.Join(5000));
  for (const auto& e : rec.events)
    EXPECT_TRUE(e.rfind("Header", 0) != 0 && e.rfind("Doc", 0) != 0 && e.rfind("Cookie", 0) != 0)
        << e;
  EXPECT_EQ(idle.ResponseHeader().Count(), 0);
  EXPECT_EQ(idle.ReceivedBytes(), 0);
  EXPECT_EQ(idle.RequestKind(), rqNone);
}

// Bytes that do not repeat with a period of 8192, so that a lost or repeated chunk shows.
std::string Numbered(std::size_t size) {
  std::string s;
  for (std::size_t i = 0; s.size() < size; ++i) s += std::to_string(i) + ",";
  s.resize(size);
  return s;
}

TEST_F(Response, LargeReadsAreHandedOutInChunksOfAtMost8192Bytes) {
  // The document phase reads more than 8192 bytes at once: the chunks stay within 8192 bytes,
  // come in order, each one in CurrentLine when asked during its OnDocData (every third one is
  // asked), and the last one is CurrentLine after the end.
  const std::string body = Numbered(1000000);
  Exchange x({step::Accept(), step::ReadUntil("\r\n\r\n"),
              step::Send("HTTP/1.0 200 OK\r\nContent-Length: 1000000\r\n\r\n"), step::Pause(50),
              step::Send(body), step::Close()});
  std::string delivered;
  std::string last;
  std::size_t largest = 0;
  int chunks = 0;
  bool currentLineMatches = true;
  x.cli.OnDocData = [&](TObject*, const char* buffer, int len) {
    last.assign(buffer, static_cast<std::size_t>(len));
    if (++chunks % 3 == 0) currentLineMatches = currentLineMatches && x.cli.CurrentLine() == last;
    largest = std::max(largest, last.size());
    delivered += last;
  };
  EXPECT_EQ(x.Run(), 0) << x.error;
  EXPECT_LE(largest, 8192u);
  EXPECT_TRUE(delivered == body) << "delivered " << delivered.size() << " bytes";
  EXPECT_TRUE(x.doc.AsString() == body);
  EXPECT_TRUE(currentLineMatches);
  EXPECT_TRUE(x.cli.CurrentLine() == last);
  EXPECT_EQ(x.cli.ReceivedBytes(), 1000000);
}

TEST_F(Response, NoChunkAfterAHandlerAbortedTheConnection) {
  // The second chunk is the first of a large read; the abort in its OnDocData ends the request
  // at once: the rest of that read is not handed out, and OnDocEnd is the last document event.
  const std::string body = Numbered(64 * 1024);
  Exchange x({step::Accept(), step::ReadUntil("\r\n\r\n"),
              step::Send("HTTP/1.0 200 OK\r\n\r\n" + body.substr(0, 10)), step::Pause(50),
              step::Send(body.substr(10)), step::WaitForPeerClose()});
  const TDocDataEvent record = x.cli.OnDocData;
  int chunks = 0;
  x.cli.OnDocData = [&](TObject* sender, const char* buffer, int len) {
    record(sender, buffer, len);
    if (++chunks == 2) x.cli.CtrlSocket()->AbortSession();
  };
  x.Run();
  EXPECT_EQ(chunks, 2);
  EXPECT_EQ(x.cli.ReceivedBytes(), 10 + 8192);
  ASSERT_FALSE(x.rec.events.empty());
  std::vector<std::string> documentEvents;
  for (const auto& e : x.rec.events)
    if (e.rfind("Doc", 0) == 0) documentEvents.push_back(e);
  EXPECT_EQ(documentEvents,
            (std::vector<std::string>{"DocBegin", "DocData 10", "DocData 8192", "DocEnd"}));
  ASSERT_TRUE(x.peer.Join(5000));
}

}  // namespace
}  // namespace vantrel
