// Response text: status line, fields, content range, relocation targets.
#include "HttpParse.h"

#include "HttpProt.h"
#include "TextUtils.h"

namespace vantrel {
namespace {

// ":" and the port, or nothing for the default port.
std::string PortSuffix(const std::string& port) {
  return port.empty() || port == "80" ? std::string() : ":" + port;
}

std::string Part(const std::string& s, std::size_t from, std::size_t count = std::string::npos) {
  return from >= s.size() ? std::string() : s.substr(from, count);
}

}  // namespace

bool IsHttpsScheme(const std::string& scheme) {
  return SameText(scheme, "https");
}

std::string DefaultPortFor(const std::string& scheme) {
  return IsHttpsScheme(scheme) ? "443" : "80";
}

bool IsStatusLine(const std::string& line) {
  return line.compare(0, 8, "HTTP/1.0") == 0 || line.compare(0, 8, "HTTP/1.1") == 0;
}

THttpStatusLine ParseStatusLine(const std::string& line) {
  return {StrToInt(Part(line, 9, 3)), Part(line, 13)};
}

bool ParseHeaderField(const std::string& line, THttpField& field) {
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return false;
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t begin = colon + 1;
  std::size_t end = line.size();
  while (begin < end && blank(line[begin])) ++begin;
  while (end > begin && blank(line[end - 1])) --end;
  field.name = LowerCase(line.substr(0, colon));
  field.value = line.substr(begin, end - begin);
  return true;
}

bool ParseContentRange(const std::string& value, TContentRange& range) {
  const std::size_t dash = value.find('-', 6);
  const std::size_t slash = dash == std::string::npos ? std::string::npos : value.find('/', dash);
  if (value.compare(0, 6, "bytes ") != 0 || slash == std::string::npos) return false;
  range.first = value.substr(6, dash - 6);
  range.last = value.substr(dash + 1, slash - dash - 1);
  return true;
}

void Relocate(const std::string& location, bool viaProxy, THttpTarget& t) {
  std::string scheme, user, pass, host, port, path;
  SplitUrl(location, scheme, user, pass, host, port, path);
  // A location without a scheme keeps the current request's.
  const std::string schemeOrHttp = !scheme.empty() ? scheme
                                   : t.secure      ? std::string("https")
                                                   : std::string("http");
  if (viaProxy) {
    // The next request goes to the proxy again, with an absolute URL. A path or a bare name
    // resolves against the URL of the request that received it: its scheme, host and port.
    std::string curScheme, curUser, curPass, curHost, curPort, curPath;
    SplitUrl(t.requestTarget, curScheme, curUser, curPass, curHost, curPort, curPath);
    const std::string origin = (curScheme.empty() ? schemeOrHttp : curScheme) + "://" +
                               (curHost.empty() ? t.hostName : curHost) + PortSuffix(curPort);
    if (path.empty()) {
      t.requestTarget = origin + "/" + host;
    } else if (host.empty()) {
      t.requestTarget = origin + path;
    } else {
      t.requestTarget = location;
      t.hostName = host;  // the Host line names the server the URL names
    }
  } else if (!location.empty() && location[0] == '/') {
    t.requestTarget = location;
  } else if (!scheme.empty() && !host.empty()) {
    // As a first request to that URL: its host, its port (80 when it names none) and a Host
    // line naming it; the request line keeps the absolute form with the port.
    t.targetHost = host;
    t.hostName = host;
    t.secure = IsHttpsScheme(scheme);
    t.targetPort = port.empty() ? DefaultPortFor(scheme) : port;
    t.requestTarget = scheme + "://" + host + PortSuffix(port) + path;
  } else if (path.empty() || host.empty()) {
    // An absolute target built from the Host line's name names the port the request goes to.
    t.targetHost = t.hostName;
    if (!port.empty()) t.targetPort = port;
    const std::string origin =
        schemeOrHttp + "://" + t.hostName +
        (t.targetPort == DefaultPortFor(schemeOrHttp) ? std::string() : PortSuffix(t.targetPort));
    t.requestTarget = path.empty() ? origin + "/" + host : origin + path;
  } else {
    t.targetHost = host;
    t.hostName = host;
    t.requestTarget = path;
    if (!port.empty()) t.targetPort = port;
  }
}

}  // namespace vantrel
