#include "FreshFileStream.h"

#include <cerrno>
#include <cstring>

#include "Exceptions.h"
#include "FileCalls.h"

namespace vantrel {
namespace {

int CreateFresh(const std::string& FileName) {
  // A link is removed, not its target; a missing name is no error.
  filecalls::Remove(FileName);
  int Fd;
  do {
    Fd = filecalls::CreateNew(FileName);
  } while (Fd < 0 && errno == EINTR);
  if (Fd < 0) throw EInOutError("Cannot create file \"" + FileName + "\". " + std::strerror(errno));
  return Fd;
}

}  // namespace

TFreshFileStream::TFreshFileStream(const std::string& FileName)
    : TFileStream(FileName, CreateFresh(FileName)) {}

}  // namespace vantrel
