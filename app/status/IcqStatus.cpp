#include "IcqStatus.h"

namespace vantrel {

TIcqStatus ClassifyStatusSize(std::int64_t Size) {
  if (Size < OnlineBelow) return isOnline;
  if (Size > OnlineBelow && Size < UnknownFrom) return isOffline;
  return isUnknown;
}

const char* StatusSuffix(TIcqStatus Status) {
  switch (Status) {
    case isOnline:
      return " : Online";
    case isOffline:
      return " : Offline";
    case isUnknown:
    default:
      return " : Unknown";
  }
}

}  // namespace vantrel
