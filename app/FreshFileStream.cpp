#include "FreshFileStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Exceptions.h"

namespace vantrel {

TFreshFileStream::TFreshFileStream(const std::string& FileName) : fileName_(FileName) {
  // A link is removed, not its target; a missing name is no error.
  ::unlink(FileName.c_str());
  do {
    fd_ = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) Fail("Cannot create file");
}

TFreshFileStream::~TFreshFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

void TFreshFileStream::Fail(const char* What) const {
  throw EInOutError(std::string(What) + " \"" + fileName_ + "\". " + std::strerror(errno));
}

std::int64_t TFreshFileStream::Read(void* Buffer, std::int64_t Count) {
  // A regular file gives all that is asked for, short only at its end.
  ssize_t N;
  do {
    N = ::read(fd_, Buffer, static_cast<std::size_t>(std::max<std::int64_t>(Count, 0)));
  } while (N < 0 && errno == EINTR);
  if (N < 0) Fail("Cannot read file");
  return N;
}

std::int64_t TFreshFileStream::Write(const void* Buffer, std::int64_t Count) {
  const auto* In = static_cast<const char*>(Buffer);
  std::int64_t Done = 0;
  while (Done < Count) {
    const ssize_t N = ::write(fd_, In + Done, static_cast<std::size_t>(Count - Done));
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) Fail("Cannot write file");
    Done += N;
  }
  return Done;
}

std::int64_t TFreshFileStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  const int Whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
  const off_t Position = ::lseek(fd_, static_cast<off_t>(Offset), Whence);
  if (Position < 0) Fail("Cannot seek in file");
  return Position;
}

void TFreshFileStream::SetSize(std::int64_t Size) {
  if (::ftruncate(fd_, static_cast<off_t>(Size)) != 0) Fail("Cannot change the size of file");
  // The position stays inside the file.
  Seek(std::min(Position(), Size), soBeginning);
}

}  // namespace vantrel
