// SplitUrl and the text helpers on arbitrary bytes: no crash, and every part they return is
// taken from the input.
#include <cstdint>
#include <string>

#include "HttpProt.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

bool From(const std::string& part, const std::string& input) {
  return part.empty() || input.find(part) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  std::string proto, user, pass, host, port, path;
  vantrel::SplitUrl(url, proto, user, pass, host, port, path);
  Check(proto == "http" || proto == "mailto" || From(proto, url));
  Check(From(user, url) && From(pass, url) && From(host, url) && From(port, url) &&
        From(path, url));
  Check(url.empty() ||
        !(proto.empty() && user.empty() && pass.empty() && host.empty() && port.empty() &&
          path.empty()) ||
        url.find('@') != std::string::npos || url.find(':') != std::string::npos ||
        url.find('/') != std::string::npos);

  const std::string b64 = vantrel::EncodeBase64(url);
  Check(b64.size() == (url.size() + 2) / 3 * 4);

  const int last = vantrel::LastPos("/", url);
  Check(last == 0 ? url.find('/') == std::string::npos
                  : url[static_cast<std::size_t>(last - 1)] == '/');
  std::string name = url;
  vantrel::SwapExtension(name, "htm");
  Check(name.size() >= 4 && name.compare(name.size() - 4, 4, ".htm") == 0);
  return 0;
}
