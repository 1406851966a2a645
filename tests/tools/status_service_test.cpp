// The local status service: its pictures, its reading of requests and its table, and the real
// service on 127.0.0.1 answering raw clients.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <chrono>
#include <thread>

#include "FlowerPattern.h"
#include "GifPicture.h"
#include "HttpProt.h"
#include "RawClient.h"
#include "StatusRequest.h"
#include "StatusServiceProcess.h"
#include "StatusTable.h"
#include "TempDir.h"
#include "TlsCertificates.h"

using namespace vantrel;
using vantrel::test::RawClient;
using vantrel::test::StatusServiceProcess;

namespace {

QImage DecodeGif(const std::string& Bytes) {
  QByteArray Data(Bytes.data(), static_cast<qsizetype>(Bytes.size()));
  QBuffer Buffer(&Data);
  Buffer.open(QIODevice::ReadOnly);
  QImageReader Reader(&Buffer, "gif");
  return Reader.read();
}

std::string Get(std::uint16_t Port, const std::string& Request) {
  RawClient Client(Port);
  if (!Client.Connected()) return "(no connection: " + Client.Error() + ")";
  Client.Send(Request);
  return Client.ReadToEnd(5000);
}

std::string BodyOf(const std::string& Response) {
  const std::size_t End = Response.find("\r\n\r\n");
  return End == std::string::npos ? std::string() : Response.substr(End + 4);
}

}  // namespace

TEST(StatusGif, EverySizeIsARealPictureOfTheFlower) {
  for (TIcqStatus Status : {isOnline, isOffline, isUnknown}) {
    const std::string Bare = StatusGif(Status);
    EXPECT_LT(Bare.size(), 460u);
    EXPECT_EQ(Bare.substr(0, 6), "GIF89a");
    // Every size from the bare picture up, across the sub-block boundaries of the comment.
    for (std::size_t Size = Bare.size(); Size < Bare.size() + 600; Size += 1) {
      const std::string Gif = StatusGif(Status, Size);
      ASSERT_EQ(Gif.size(), Size);
      if (Size % 37 != 0 && Size - Bare.size() > 8) continue;  // decode a sample
      const QImage Image = DecodeGif(Gif);
      ASSERT_FALSE(Image.isNull()) << "size " << Size;
      ASSERT_EQ(Image.size(), QSize(FlowerWidth, FlowerHeight));
      for (int Y = 0; Y < FlowerHeight; ++Y)
        for (int X = 0; X < FlowerWidth; ++X)
          ASSERT_EQ(Image.pixel(X, Y) & 0xFFFFFF, FlowerColour(Status, FlowerRows[Y][X]))
              << "size " << Size << " at " << X << "," << Y;
    }
  }
  // Below the bare size: the picture's first bytes; 0 gives nothing.
  EXPECT_EQ(StatusGif(isOnline, 0), "");
  EXPECT_EQ(StatusGif(isOnline, 6), "GIF89a");
  EXPECT_EQ(StatusGif(isOffline, 4000).size(), 4000u);
}

// The service and the program share one set of bands: each status's own picture reads back as
// that status, and the band edges fall where the program draws them.
TEST(StatusBands, ServicePicturesReadBackAsTheirStatus) {
  for (TIcqStatus Status : {isOnline, isOffline, isUnknown})
    EXPECT_EQ(ClassifyStatusSize(static_cast<std::int64_t>(DefaultPictureSize(Status))), Status);
  const std::pair<std::int64_t, TIcqStatus> Edges[] = {
      {OnlineBelow - 1, isOnline},  {OnlineBelow, isUnknown}, {OnlineBelow + 1, isOffline},
      {UnknownFrom - 1, isOffline}, {UnknownFrom, isUnknown}, {0, isOnline}};
  for (const auto& [Size, Status] : Edges) EXPECT_EQ(ClassifyStatusSize(Size), Status) << Size;
  EXPECT_EQ(ParseAnswer("459")->Status, isOnline);
  EXPECT_EQ(ParseAnswer("1000")->Status, isUnknown);
}

TEST(StatusRequestParsing, OriginAndAbsoluteForms) {
  TStatusRequest R;
  ASSERT_TRUE(ParseStatusRequest("GET /scripts/online.dll?icq=12345&img=1 HTTP/1.0\r\n\r\n", R));
  EXPECT_TRUE(IsStatusQuery(R));
  EXPECT_EQ(R.Uin, "12345");
  EXPECT_EQ(R.Img, "1");

  ASSERT_TRUE(ParseStatusRequest(
      "GET http://wwp.icq.com:8080/scripts/online.dll?img=5&icq=777 HTTP/1.1\r\nHost: x\r\n\r\n",
      R));
  EXPECT_TRUE(IsStatusQuery(R));
  EXPECT_EQ(R.Uin, "777");
  EXPECT_EQ(R.Img, "5");
  EXPECT_EQ(R.Version, "HTTP/1.1");
  EXPECT_FALSE(R.KeepAlive);
  ASSERT_TRUE(ParseStatusRequest("GET / HTTP/1.0\r\nConnection:keep-alive\r\n\r\n", R));
  EXPECT_TRUE(R.KeepAlive);
  ASSERT_TRUE(ParseStatusRequest("GET / HTTP/1.0\r\nX-Connection: keep-alive\r\n\r\n", R));
  EXPECT_FALSE(R.KeepAlive);
  ASSERT_TRUE(ParseStatusRequest("GET / HTTP/1.0\nConnection: keep-alive, close\n\n", R));
  EXPECT_FALSE(R.KeepAlive);

  // A UIN with blanks keeps them; an empty one is still a query.
  ASSERT_TRUE(ParseStatusRequest("GET /scripts/online.dll?icq=1 2&img=1 HTTP/1.0\n\n", R));
  EXPECT_EQ(R.Uin, "1 2");
  ASSERT_TRUE(ParseStatusRequest("HEAD /scripts/online.dll?icq=&img=1 HTTP/1.0\r\n\r\n", R));
  EXPECT_TRUE(IsStatusQuery(R));
  EXPECT_EQ(R.Uin, "");

  ASSERT_TRUE(ParseStatusRequest("GET /scripts/online.dll?img=1 HTTP/1.0\r\n\r\n", R));
  EXPECT_FALSE(IsStatusQuery(R));
  ASSERT_TRUE(ParseStatusRequest("GET http://host HTTP/1.0\r\n\r\n", R));
  EXPECT_EQ(R.Path, "/");
  ASSERT_TRUE(ParseStatusRequest("POST /scripts/online.dll?icq=1 HTTP/1.0\r\n\r\n", R));
  EXPECT_FALSE(IsStatusQuery(R));
  EXPECT_FALSE(ParseStatusRequest("GET\r\n\r\n", R));
  EXPECT_FALSE(ParseStatusRequest("GET /x FTP/1.0\r\n\r\n", R));

  EXPECT_EQ(FindHeaderEnd("GET / HTTP/1.0\r\n"), std::string::npos);
  EXPECT_EQ(FindHeaderEnd("GET / HTTP/1.0\r\n\r\nbody"), 18u);
  EXPECT_EQ(FindHeaderEnd("GET / HTTP/1.0\n\n"), 16u);
}

TEST(StatusTableReading, OptionsFileAndDefault) {
  TStatusTable Table;
  EXPECT_EQ(Table.Lookup("1").Status, isOffline);  // the documented default
  EXPECT_TRUE(Table.AddOption("10=online"));
  EXPECT_TRUE(Table.AddOption("11=459"));
  EXPECT_FALSE(Table.AddOption("12=sometimes"));
  EXPECT_FALSE(Table.AddOption("=online"));
  vantrel::test::TempDir Dir;
  vantrel::test::WriteFile(Dir.File("t"), "# comment\n20 unknown\n\n21 404  # lost\n22 close\n");
  std::string Error;
  ASSERT_TRUE(Table.LoadFile(Dir.File("t"), Error)) << Error;
  EXPECT_EQ(Table.Lookup("10").Status, isOnline);
  EXPECT_EQ(Table.Lookup("11").Size, 459);
  EXPECT_EQ(Table.Lookup("11").Status, isOnline);
  EXPECT_EQ(Table.Lookup("20").Status, isUnknown);
  EXPECT_EQ(Table.Lookup("21").Kind, akNotFound);
  EXPECT_EQ(Table.Lookup("22").Kind, akClose);
  vantrel::test::WriteFile(Dir.File("bad"), "30 online\n31\n");
  EXPECT_FALSE(Table.LoadFile(Dir.File("bad"), Error));
  EXPECT_NE(Error.find(":2:"), std::string::npos);
  Table.SetDefault(*ParseAnswer("unknown"));
  EXPECT_EQ(Table.Lookup("nobody").Status, isUnknown);
}

TEST(StatusServiceLive, AnswersInBothFormsAndEveryMode) {
  StatusServiceProcess Service({"--status", "12345=online", "--status", "555=unknown", "--status",
                                "404404=404", "--status", "999=999"});
  ASSERT_TRUE(Service.Running()) << Service.Error();

  const std::string Origin =
      Get(Service.Port(), "GET /scripts/online.dll?icq=12345&img=1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Origin.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << Origin;
  EXPECT_NE(Origin.find("Content-Type: image/gif\r\n"), std::string::npos);
  EXPECT_EQ(BodyOf(Origin), StatusGif(isOnline));
  EXPECT_NE(Origin.find("Content-Length: " + std::to_string(StatusGif(isOnline).size()) + "\r\n"),
            std::string::npos);

  const std::string Absolute = Get(Service.Port(),
                                   "GET http://wwp.icq.com/scripts/online.dll?icq=555&img=1 "
                                   "HTTP/1.0\r\nHost: wwp.icq.com\r\n\r\n");
  EXPECT_EQ(BodyOf(Absolute).size(), 1200u);
  EXPECT_EQ(
      BodyOf(Get(Service.Port(), "GET /scripts/online.dll?icq=1&img=1 HTTP/1.0\r\n\r\n")).size(),
      700u);  // not listed: offline
  EXPECT_EQ(
      BodyOf(Get(Service.Port(), "GET /scripts/online.dll?icq=999&img=3 HTTP/1.0\r\n\r\n")).size(),
      999u);
  // The request may arrive in pieces.
  {
    RawClient Client(Service.Port());
    ASSERT_TRUE(Client.Connected());
    Client.Send("GET /scripts/onli");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Client.Send("ne.dll?icq=12345&img=1 HTTP/1.0\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Client.Send("\r\n");
    EXPECT_EQ(BodyOf(Client.ReadToEnd(5000)), StatusGif(isOnline));
  }
  EXPECT_EQ(Get(Service.Port(), "GET /scripts/online.dll?icq=404404&img=1 HTTP/1.0\r\n\r\n")
                .rfind("HTTP/1.0 404 Not Found\r\n", 0),
            0u);
  EXPECT_EQ(Get(Service.Port(), "GET /elsewhere HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404 ", 0), 0u);
  EXPECT_EQ(Get(Service.Port(), "PUT /scripts/online.dll?icq=1 HTTP/1.0\r\n\r\n")
                .rfind("HTTP/1.0 501 ", 0),
            0u);
  EXPECT_EQ(Get(Service.Port(), "nonsense\r\n\r\n").rfind("HTTP/1.0 400 ", 0), 0u);
  const std::string Head =
      Get(Service.Port(), "HEAD /scripts/online.dll?icq=12345&img=1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(BodyOf(Head), "");
  EXPECT_NE(Head.find("Content-Length: " + std::to_string(StatusGif(isOnline).size())),
            std::string::npos);

  // Each request header is recorded byte for byte.
  const auto Requests = Service.Requests();
  ASSERT_GE(Requests.size(), 2u);
  EXPECT_EQ(Requests[0], "GET /scripts/online.dll?icq=12345&img=1 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Service.Stop(), 0);
}

TEST(StatusServiceLive, TestModes) {
  StatusServiceProcess Closing({"--mode", "close"});
  StatusServiceProcess NotFound({"--mode", "404"});
  StatusServiceProcess Slow({"--mode", "slow", "--delay-ms", "400", "--status", "7=unknown"});
  for (auto* S : {&Closing, &NotFound, &Slow}) ASSERT_TRUE(S->Running()) << S->Error();
  const std::string Query = "GET /scripts/online.dll?icq=7&img=1 HTTP/1.0\r\n\r\n";
  {
    RawClient Client(Closing.Port());
    Client.Send(Query);
    EXPECT_EQ(Client.ReadToEnd(5000), "");
    EXPECT_TRUE(Client.Ended());
  }
  EXPECT_EQ(Get(NotFound.Port(), Query).rfind("HTTP/1.0 404 ", 0), 0u);
  {
    RawClient Client(Slow.Port());
    Client.Send(Query);
    // Nothing before the delay, then the UIN's own answer.
    EXPECT_EQ(Client.Read(1, 150), "");
    EXPECT_EQ(BodyOf(Client.ReadToEnd(5000)).size(), 1200u);
  }
}

TEST(StatusServiceLive, ManyConnectionsLeaveNoDescriptor) {
  StatusServiceProcess Service({"--status", "1=online"});
  ASSERT_TRUE(Service.Running()) << Service.Error();
  // One answer first, so that what the service opens once is open before counting.
  Get(Service.Port(), "GET /scripts/online.dll?icq=1&img=1 HTTP/1.0\r\n\r\n");
  // Its connection is let go in a later turn of the service's loop.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int Before = Service.OpenDescriptors();
  ASSERT_GT(Before, 0);
  std::vector<std::unique_ptr<RawClient>> Clients;
  for (int I = 0; I < 150; ++I) Clients.push_back(std::make_unique<RawClient>(Service.Port()));
  int Answers = 0;
  for (int I = 0; I < 150; ++I) {
    // A third leave without asking, a third ask and read, a third reset after asking.
    if (I % 3 == 0) {
      Clients[I]->Close();
    } else if (I % 3 == 1) {
      Clients[I]->Send("GET /scripts/online.dll?icq=1&img=1 HTTP/1.0\r\n\r\n");
      Answers += BodyOf(Clients[I]->ReadToEnd(5000)) == StatusGif(isOnline);
    } else {
      Clients[I]->Send("GET /scripts/online.dll?icq=1&img=1 HTTP/1.0\r\n\r\n");
      Clients[I]->Reset();
    }
  }
  Clients.clear();
  EXPECT_EQ(Answers, 50);
  int After = -1;
  for (int I = 0; I < 200 && After != Before; ++I) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    After = Service.OpenDescriptors();
  }
  EXPECT_EQ(After, Before);
}

// A closed connection's socket serves later connections: nothing of the request it held, or of
// the way it ended, may reach the next one.
TEST(StatusServiceLive, ReusedSocketsStartClean) {
  StatusServiceProcess Service({"--status", "1=online", "--status", "2=close"});
  ASSERT_TRUE(Service.Running()) << Service.Error();
  const std::string Query = "GET /scripts/online.dll?icq=1&img=1 HTTP/1.0\r\n\r\n";
  for (int Round = 0; Round < 3; ++Round) {
    // Half a request left behind, closed or reset; a connection closed without an answer.
    for (int I = 0; I < 10; ++I) {
      RawClient Client(Service.Port());
      ASSERT_TRUE(Client.Connected());
      Client.Send("GET /scripts/onli");
      if (I % 2 == 0) Client.Reset();
    }
    EXPECT_EQ(Get(Service.Port(), "GET /scripts/online.dll?icq=2&img=1 HTTP/1.0\r\n\r\n"), "");
    // The service lets closed sockets go in a later turn of its loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int I = 0; I < 12; ++I) {
      const std::string Method = I % 3 == 0 ? "HEAD" : "GET";
      const std::string Answer =
          Get(Service.Port(), Method + " /scripts/online.dll?icq=1&img=1 HTTP/1.0\r\n\r\n");
      ASSERT_EQ(Answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << Answer;
      EXPECT_EQ(BodyOf(Answer), Method == "HEAD" ? "" : StatusGif(isOnline));
    }
  }
  EXPECT_EQ(BodyOf(Get(Service.Port(), Query)), StatusGif(isOnline));
}

// "Connection: keep-alive" keeps the connection open for the next request, answered in order;
// a request without it is answered and closed.
TEST(StatusServiceLive, KeepAliveOnRequest) {
  StatusServiceProcess Service(
      {"--status", "1=online", "--status", "2=unknown", "--idle-ms", "1000"});
  ASSERT_TRUE(Service.Running()) << Service.Error();
  const auto Head = [](const std::string& Length, const std::string& Connection) {
    return "HTTP/1.0 200 OK\r\nServer: vantrel-status-service\r\nContent-Type: image/gif\r\n"
           "Content-Length: " +
           Length + "\r\nPragma: no-cache\r\nConnection: " + Connection + "\r\n\r\n";
  };
  const std::string Online = StatusGif(isOnline);
  RawClient Client(Service.Port());
  ASSERT_TRUE(Client.Connected());
  // Two requests in one write, the second with other spelling and another option beside it.
  Client.Send(
      "GET /scripts/online.dll?icq=1&img=1 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"
      "HEAD /scripts/online.dll?icq=2&img=1 HTTP/1.0\r\nHost: x\r\nconnection: TE, "
      "Keep-Alive\r\n\r\n");
  const std::string First = Head(std::to_string(Online.size()), "keep-alive") + Online;
  EXPECT_EQ(Client.Read(First.size()), First);
  const std::string Second = Head("1200", "keep-alive");
  EXPECT_EQ(Client.Read(Second.size()), Second);
  EXPECT_EQ(Client.Read(1, 200), "");
  EXPECT_FALSE(Client.Ended());
  Client.Send("GET /scripts/online.dll?icq=1&img=1 HTTP/1.0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(Client.ReadToEnd(5000), Head(std::to_string(Online.size()), "close") + Online);
  EXPECT_TRUE(Client.Ended());

  // A kept connection that stays silent is closed by the service, without an answer.
  RawClient Silent(Service.Port());
  Silent.Send("GET /scripts/online.dll?icq=1&img=1 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(Silent.Read(First.size()), First);
  EXPECT_EQ(Silent.ReadToEnd(5000), "");
  EXPECT_TRUE(Silent.Ended());
}

TEST(StatusServiceLive, ServesHttpsWithACertificate) {
  test::TlsCertificates Certs;
  ASSERT_TRUE(Certs.Ready()) << Certs.Error();
  StatusServiceProcess Service(
      {"--status", "12345=online", "--cert", Certs.Crt("good"), "--key", Certs.Key("good")});
  ASSERT_TRUE(Service.Running()) << Service.Error();
  const std::string Path = "/scripts/online.dll?icq=12345&img=1";

  THttpCli Cli(nullptr);
  std::string Document;
  Cli.OnDocData = [&Document](TObject*, const char* Buffer, int Len) {
    Document.append(Buffer, static_cast<std::size_t>(Len));
  };
  Cli.SetTimeLimit(20000);
  Cli.SetSslCAFile(Certs.Crt("ca"));
  Cli.SetURL("https://127.0.0.1:" + std::to_string(Service.Port()) + Path);
  Cli.GetDocument();
  EXPECT_EQ(Cli.ResponseCode(), 200);
  EXPECT_EQ(Cli.CtrlSocket()->SslVersion(), "TLSv1.3");
  EXPECT_EQ(DecodeGif(Document).size(), QSize(FlowerWidth, FlowerHeight));

  // Plain text to the TLS port is no request: nothing is answered in clear.
  EXPECT_EQ(Get(Service.Port(), "GET " + Path + " HTTP/1.0\r\n\r\n").find("HTTP/1.0 200"),
            std::string::npos);

  // Half a certificate pair, or an unreadable file, is refused at start.
  StatusServiceProcess Half({"--cert", Certs.Crt("good")});
  EXPECT_FALSE(Half.Running());
  // So is a pair that does not go together: never a service that drops every connection.
  StatusServiceProcess Mismatched({"--cert", Certs.Crt("good"), "--key", Certs.Crt("ca")});
  EXPECT_FALSE(Mismatched.Running());
  EXPECT_NE(Mismatched.Error().find("TLS setup failed"), std::string::npos) << Mismatched.Error();
}
