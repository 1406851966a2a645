// Response text and relocation targets, without a connection.
#include <gtest/gtest.h>

#include <string>

#include "Exceptions.h"
#include "HttpParse.h"

namespace vantrel {
namespace {

TEST(HttpParseTest, StatusLineFieldsAndContentRange) {
  EXPECT_TRUE(IsStatusLine("HTTP/1.1 200 OK"));
  EXPECT_FALSE(IsStatusLine("HTTP/2 200 OK"));
  const THttpStatusLine Status = ParseStatusLine("HTTP/1.0 404 Not Found");
  EXPECT_EQ(Status.code, 404);
  EXPECT_EQ(Status.text, "Not Found");
  EXPECT_EQ(ParseStatusLine("HTTP/1.0 301").text, "");
  EXPECT_THROW(ParseStatusLine("HTTP/1.0 2x0 OK"), EConvertError);

  THttpField Field;
  ASSERT_TRUE(ParseHeaderField("Content-Type: \t text/html \t", Field));
  EXPECT_EQ(Field.name, "content-type");
  EXPECT_EQ(Field.value, "text/html");
  ASSERT_TRUE(ParseHeaderField("X-Empty:", Field));
  EXPECT_EQ(Field.value, "");
  EXPECT_FALSE(ParseHeaderField("no colon here", Field));

  TContentRange Range;
  ASSERT_TRUE(ParseContentRange("bytes 10-19/100", Range));
  EXPECT_EQ(Range.first, "10");
  EXPECT_EQ(Range.last, "19");
  for (const char* Bad : {"bytes 10-19", "items 10-19/100", "bytes 1019/100", "bytes", ""}) {
    EXPECT_FALSE(ParseContentRange(Bad, Range)) << Bad;
  }
}

TEST(HttpParseTest, RelocationsResolveAgainstTheCurrentRequest) {
  struct Case {
    const char* location;
    bool viaProxy;
    THttpTarget before, after;
  };
  const THttpTarget Direct{"/a/b", "host", "8080", "host", false};
  const THttpTarget Proxied{"http://host:8080/a", "proxy", "3128", "host", false};
  const Case Cases[] = {
      // A path keeps everything but the target.
      {"/c", false, Direct, {"/c", "host", "8080", "host", false}},
      // An absolute URL: its host and its port, 443 for https that names none.
      {"https://other/x", false, Direct, {"https://other/x", "other", "443", "other", true}},
      {"http://other:81/x", false, Direct, {"http://other:81/x", "other", "81", "other", false}},
      // A bare name keeps the current port and names it.
      {"page", false, Direct, {"http://host:8080/page", "host", "8080", "host", false}},
      // Through a proxy the connection stays with the proxy.
      {"/c", true, Proxied, {"http://host:8080/c", "proxy", "3128", "host", false}},
      {"page", true, Proxied, {"http://host:8080/page", "proxy", "3128", "host", false}},
      {"http://far/z", true, Proxied, {"http://far/z", "proxy", "3128", "far", false}},
  };
  for (const Case& C : Cases) {
    THttpTarget T = C.before;
    Relocate(C.location, C.viaProxy, T);
    EXPECT_EQ(T.requestTarget, C.after.requestTarget) << C.location;
    EXPECT_EQ(T.targetHost, C.after.targetHost) << C.location;
    EXPECT_EQ(T.targetPort, C.after.targetPort) << C.location;
    EXPECT_EQ(T.hostName, C.after.hostName) << C.location;
    EXPECT_EQ(T.secure, C.after.secure) << C.location;
  }
}

}  // namespace
}  // namespace vantrel
