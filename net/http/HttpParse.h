// The parts of an HTTP/1.0 response that are plain text work: the status line, header fields
// and their values, the content range, and where a relocation leads. No socket or event is
// involved; the client (HttpProt.h) keeps the order of the exchange around them.
#pragma once

#include <string>

namespace vantrel {

// Whether a scheme is https (case ignored), and the port of a URL that names none.
bool IsHttpsScheme(const std::string& scheme);
std::string DefaultPortFor(const std::string& scheme);

// A line beginning "HTTP/1.0" or "HTTP/1.1".
bool IsStatusLine(const std::string& line);
struct THttpStatusLine {
  int code = 0;
  std::string text;
};
// The three digits after the version and the text after them; EConvertError when the digits are
// not a number.
THttpStatusLine ParseStatusLine(const std::string& line);

struct THttpField {
  std::string name;   // lower case
  std::string value;  // without the white space around it
};
// False for a line without a colon.
bool ParseHeaderField(const std::string& line, THttpField& field);

// "bytes first-last/total": first and last as they stand; false for any other form.
struct TContentRange {
  std::string first, last;
};
bool ParseContentRange(const std::string& value, TContentRange& range);

// Where the next request goes.
struct THttpTarget {
  std::string requestTarget;  // the request line's target
  std::string targetHost;     // the host connected to (the proxy's, through a proxy)
  std::string targetPort;
  std::string hostName;  // the Host line
  bool secure = false;
};
// Moves target to a relocation's Location value, resolved against the request that received it.
void Relocate(const std::string& location, bool viaProxy, THttpTarget& target);

}  // namespace vantrel
