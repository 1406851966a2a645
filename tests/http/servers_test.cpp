// Documents fetched end to end from nginx on 127.0.0.1, directly and through tinyproxy.
#include <gtest/gtest.h>

#include "HttpProt.h"
#include "HttpTestUtil.h"
#include "TestServers.h"
#include "WinMessages.h"

namespace vantrel {
namespace {

using test::HttpRecorder;

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  std::uint32_t x = 2463534242u;
  for (char& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return s;
}

// Locations that answer relocations; the host and port of an absolute one come from the
// request, so the text needs no port.
const char kLocations[] =
    "    absolute_redirect off;\n"
    "    location = /to-path { return 302 /small.txt; }\n"
    "    location = /to-absolute { return 302 http://127.0.0.1:$server_port/small.txt; }\n"
    "    location = /dir/to-name { return 302 small.txt; }\n"
    "    location = /to-other-dir { return 302 /dir/to-name; }\n";

class Servers : public test::HttpTest {
 protected:
  static void SetUpTestSuite() {
    nginx_ = new test::NginxServer(kLocations);
    small_ = Pattern(4096);
    big_ = Pattern(6 * 1024 * 1024 + 123);
    nginx_->AddFile("empty.gif", "");
    nginx_->AddFile("small.txt", small_);
    nginx_->AddFile("big.bin", big_);
  }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }

  static test::NginxServer* nginx_;
  static std::string small_;
  static std::string big_;
};

test::NginxServer* Servers::nginx_ = nullptr;
std::string Servers::small_;
std::string Servers::big_;

TEST_F(Servers, DocumentsOfEverySize) {
  VANTREL_REQUIRE_SERVER(*nginx_);
  struct Case {
    std::string path;
    const std::string* want;
  };
  const std::string empty;
  for (const Case& c :
       {Case{"/empty.gif", &empty}, Case{"/small.txt", &small_}, Case{"/big.bin", &big_}}) {
    THttpCli cli(nullptr);
    HttpRecorder rec(cli);
    TMemoryStream doc;
    cli.SetReceiveStream(&doc);
    cli.SetTimeLimit(20000);
    cli.SetURL(nginx_->Url(c.path));
    cli.GetDocument();
    EXPECT_EQ(cli.ResponseCode(), 200) << c.path;
    EXPECT_EQ(cli.DocumentLength(), static_cast<std::int64_t>(c.want->size())) << c.path;
    EXPECT_EQ(cli.ReceivedBytes(), static_cast<std::int64_t>(c.want->size())) << c.path;
    EXPECT_TRUE(doc.AsString() == *c.want) << c.path << ": document differs";
    EXPECT_EQ(rec.Has("DocBegin"), !c.want->empty()) << c.path;
    EXPECT_EQ(rec.Has("DocEnd"), !c.want->empty()) << c.path;
    EXPECT_EQ(rec.doneError, 0) << c.path;
  }
}

TEST_F(Servers, NotFoundRaisesTheStatus) {
  VANTREL_REQUIRE_SERVER(*nginx_);
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  cli.SetTimeLimit(10000);
  cli.SetURL(nginx_->Url("/missing.gif"));
  try {
    cli.GetDocument();
    ADD_FAILURE() << "no exception";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), 404);
    EXPECT_STREQ(e.what(), "Not Found");
  }
  EXPECT_EQ(rec.doneError, 0);
  EXPECT_EQ(rec.doneCount, 1);
}

TEST_F(Servers, RelocationsToAPathAnAbsoluteUrlAndAFileName) {
  VANTREL_REQUIRE_SERVER(*nginx_);
  for (const char* path : {"/to-path", "/to-absolute", "/dir/to-name", "/to-other-dir"}) {
    THttpCli cli(nullptr);
    HttpRecorder rec(cli);
    TMemoryStream doc;
    cli.SetReceiveStream(&doc);
    cli.SetTimeLimit(10000);
    cli.SetURL(nginx_->Url(path));
    cli.GetDocument();
    EXPECT_EQ(cli.ResponseCode(), 200) << path;
    EXPECT_TRUE(doc.AsString() == small_) << path;
    EXPECT_GE(rec.Count("RequestDone 1 0"), 1) << path;
    EXPECT_TRUE(rec.Has("LocationChange " + cli.CurrentLocation())) << path;
  }
  // The bare name "small.txt" becomes http://127.0.0.1:<port>/small.txt: nginx serves the
  // file at the root whatever directory the relocation came from.
  THttpCli cli(nullptr);
  TMemoryStream doc;
  cli.SetReceiveStream(&doc);
  cli.SetTimeLimit(10000);
  cli.SetURL(nginx_->Url("/dir/to-name"));
  cli.GetDocument();
  EXPECT_EQ(cli.CurrentLocation(), nginx_->Url("/small.txt"));
  EXPECT_TRUE(doc.AsString() == small_);
}

TEST_F(Servers, HeadAndByteRange) {
  VANTREL_REQUIRE_SERVER(*nginx_);
  THttpCli cli(nullptr);
  HttpRecorder rec(cli);
  TMemoryStream doc;
  cli.SetReceiveStream(&doc);
  cli.SetTimeLimit(10000);
  cli.SetURL(nginx_->Url("/small.txt"));
  cli.RunRequest(rqHead);
  EXPECT_EQ(cli.ResponseCode(), 200);
  EXPECT_EQ(cli.DocumentLength(), 4096);
  EXPECT_EQ(cli.DocumentType(), "text/plain");
  EXPECT_FALSE(rec.Has("DocBegin"));
  EXPECT_FALSE(rec.Has("DocEnd"));
  EXPECT_EQ(doc.Size(), 0);

  cli.SetContentRangeBegin("100");
  cli.SetContentRangeEnd("199");
  cli.GetDocument();
  EXPECT_EQ(cli.ResponseCode(), 206);
  EXPECT_TRUE(doc.AsString() == small_.substr(100, 100));
  // Filled again from the answer's content range.
  EXPECT_EQ(cli.ContentRangeBegin(), "100");
  EXPECT_EQ(cli.ContentRangeEnd(), "199");

  doc.Clear();
  cli.SetContentRangeBegin("4000");
  cli.SetContentRangeEnd("");
  cli.GetDocument();
  EXPECT_EQ(cli.ResponseCode(), 206);
  EXPECT_TRUE(doc.AsString() == small_.substr(4000));
}

TEST_F(Servers, ThroughTinyproxy) {
  VANTREL_REQUIRE_SERVER(*nginx_);
  test::TinyproxyServer proxy;
  VANTREL_REQUIRE_SERVER(proxy);
  THttpCli cli(nullptr);
  TMemoryStream doc;
  cli.SetReceiveStream(&doc);
  cli.SetTimeLimit(20000);
  cli.SetNoCache(true);
  cli.SetProxy("127.0.0.1");
  cli.SetProxyPort(std::to_string(proxy.Port()));
  cli.SetURL(nginx_->Url("/big.bin"));
  cli.GetDocument();
  EXPECT_EQ(cli.ResponseCode(), 200);
  EXPECT_TRUE(doc.AsString() == big_);

  // A relocation through the proxy goes to the proxy again with the absolute URL.
  doc.Clear();
  cli.SetURL(nginx_->Url("/to-absolute"));
  cli.GetDocument();
  EXPECT_EQ(cli.ResponseCode(), 200);
  EXPECT_EQ(cli.CurrentLocation(), nginx_->Url("/small.txt"));
  EXPECT_TRUE(doc.AsString() == small_);
}

TEST_F(Servers, ProxyAuthorization) {
  VANTREL_REQUIRE_SERVER(*nginx_);
  test::TinyproxyServer proxy("keeper:s3cret");
  VANTREL_REQUIRE_SERVER(proxy);
  THttpCli cli(nullptr);
  TMemoryStream doc;
  cli.SetReceiveStream(&doc);
  cli.SetTimeLimit(10000);
  cli.SetProxy("127.0.0.1:" + std::to_string(proxy.Port()));
  cli.SetURL(nginx_->Url("/small.txt"));
  try {
    cli.GetDocument();
    ADD_FAILURE() << "the proxy let an unauthorised request through";
  } catch (const EHttpException& e) {
    EXPECT_EQ(e.HttpCode(), 407);
  }
  doc.Clear();
  cli.SetProxyUsername("keeper");
  cli.SetProxyPassword("s3cret");
  cli.GetDocument();
  EXPECT_EQ(cli.ResponseCode(), 200);
  EXPECT_TRUE(doc.AsString() == small_);
}

}  // namespace
}  // namespace vantrel
