#include "Streams.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Exceptions.h"
#include "FileCalls.h"

namespace vantrel {
namespace {

constexpr int kStdOutput = 1;

std::string Reason(int err) {
  return std::strerror(err);
}

[[noreturn]] void RaiseFileError(const char* what, const std::string& fileName, int err) {
  throw EInOutError(std::string(what) + " \"" + fileName + "\". " + Reason(err));
}

int OpenFlags(unsigned mode) {
  if ((mode & fmCreate) == fmCreate) return O_RDWR | O_CREAT | O_TRUNC;
  switch (mode & 0x3) {
    case fmOpenWrite:
      return O_WRONLY;
    case fmOpenReadWrite:
      return O_RDWR;
    default:
      return O_RDONLY;
  }
}

}  // namespace

// ---- TStream ----

std::int64_t TStream::Size() {
  std::int64_t position = Seek(0, soCurrent);
  std::int64_t size = Seek(0, soEnd);
  Seek(position, soBeginning);
  return size;
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EInOutError("Stream write error");
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw EInOutError("Stream read error");
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& fileName, unsigned mode) : fileName_(fileName) {
  bool create = (mode & fmCreate) == fmCreate;
  do {
    fd_ = filecalls::Open(fileName, OpenFlags(mode));
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) RaiseFileError(create ? "Cannot create file" : "Cannot open file", fileName, errno);
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) filecalls::Close(fd_);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  auto* out = static_cast<char*>(buffer);
  std::int64_t done = 0;
  // A regular file may return less than asked only at its end; keep reading until then.
  while (done < count) {
    const std::int64_t n = filecalls::Read(fd_, out + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError("Cannot read file", fileName_, errno);
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  const auto* in = static_cast<const char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const std::int64_t n = filecalls::Write(fd_, in + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError("Cannot write file", fileName_, errno);
    }
    done += n;
  }
  return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  const std::int64_t position = filecalls::Seek(fd_, offset, whence);
  if (position < 0) RaiseFileError("Cannot seek in file", fileName_, errno);
  return position;
}

void TFileStream::SetSize(std::int64_t size) {
  int r;
  do {
    r = filecalls::Truncate(fd_, size);
  } while (r != 0 && errno == EINTR);
  if (r != 0) RaiseFileError("Cannot change the size of file", fileName_, errno);
  // The position stays inside the file, as after a write at its end.
  if (Position() > size) Seek(size, soBeginning);
}

// ---- TStdOutputStream ----

TStdOutputStream::TStdOutputStream() {
  filecalls::MakeBinary(kStdOutput);
}

std::int64_t TStdOutputStream::Write(const void* buffer, std::int64_t count) {
  const auto* in = static_cast<const char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const std::int64_t n = filecalls::Write(kStdOutput, in + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError("Cannot write to standard output. " + Reason(errno));
    }
    done += n;
  }
  return count;
}

// ---- TMemoryStream ----

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  std::int64_t available = Size() - position_;
  if (count <= 0 || available <= 0) return 0;
  std::int64_t n = std::min(count, available);
  std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  std::int64_t end = position_ + count;
  if (end > Size()) data_.resize(static_cast<std::size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(count));
  position_ = end;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : Size();
  std::int64_t target = base + offset;
  if (target < 0) throw EInOutError("Invalid stream position");
  // Past the end is allowed: a later write fills the gap with zero bytes.
  position_ = target;
  return position_;
}

void TMemoryStream::SetSize(std::int64_t size) {
  if (size < 0) throw EInOutError("Invalid stream size");
  data_.resize(static_cast<std::size_t>(size));
  position_ = std::min(position_, size);
}

void TMemoryStream::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
}

// ---- File helpers ----

bool FileExists(const std::string& fileName) {
  return filecalls::IsFile(fileName);
}

bool DeleteFile(const std::string& fileName) {
  return filecalls::Remove(fileName);
}

}  // namespace vantrel
