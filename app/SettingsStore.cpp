#include "SettingsStore.h"

namespace vantrel {

bool SplitProxySetting(const std::string& Text, std::string& Proxy, std::string& Port) {
  const std::size_t Colon = Text.find(':');
  if (Text.empty() || Colon == std::string::npos) return false;
  Proxy = Text.substr(0, Colon);
  Port = Text.substr(Colon + 1);
  return true;
}

}  // namespace vantrel
