#include "FreshFileStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Exceptions.h"
#include "FileCalls.h"

namespace vantrel {

TFreshFileStream::TFreshFileStream(const std::string& FileName) : fileName_(FileName) {
  // A link is removed, not its target; a missing name is no error.
  filecalls::Remove(FileName);
  do {
    fd_ = filecalls::CreateNew(FileName);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) Fail("Cannot create file");
}

TFreshFileStream::~TFreshFileStream() {
  if (fd_ >= 0) filecalls::Close(fd_);
}

void TFreshFileStream::Fail(const char* What) const {
  throw EInOutError(std::string(What) + " \"" + fileName_ + "\". " + std::strerror(errno));
}

std::int64_t TFreshFileStream::Read(void* Buffer, std::int64_t Count) {
  // A regular file gives all that is asked for, short only at its end.
  std::int64_t N;
  do {
    N = filecalls::Read(fd_, Buffer, std::max<std::int64_t>(Count, 0));
  } while (N < 0 && errno == EINTR);
  if (N < 0) Fail("Cannot read file");
  return N;
}

std::int64_t TFreshFileStream::Write(const void* Buffer, std::int64_t Count) {
  const auto* In = static_cast<const char*>(Buffer);
  std::int64_t Done = 0;
  while (Done < Count) {
    const std::int64_t N = filecalls::Write(fd_, In + Done, Count - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) Fail("Cannot write file");
    Done += N;
  }
  return Done;
}

std::int64_t TFreshFileStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  const int Whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
  const std::int64_t Position = filecalls::Seek(fd_, Offset, Whence);
  if (Position < 0) Fail("Cannot seek in file");
  return Position;
}

void TFreshFileStream::SetSize(std::int64_t Size) {
  if (filecalls::Truncate(fd_, Size) != 0) Fail("Cannot change the size of file");
  // The position stays inside the file.
  Seek(std::min(Position(), Size), soBeginning);
}

}  // namespace vantrel
