#include "FileCalls.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace vantrel::filecalls {
namespace {

// The runtime moves at most an unsigned int per call.
unsigned Chunk(std::int64_t Count) {
  return static_cast<unsigned>(std::min<std::int64_t>(Count, INT_MAX));
}

}  // namespace

int Open(const std::string& FileName, int Flags) {
  return ::_open(FileName.c_str(), Flags | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

int CreateNew(const std::string& FileName) {
  return Open(FileName, _O_RDWR | _O_CREAT | _O_EXCL);
}

int Close(int Fd) {
  return ::_close(Fd);
}

std::int64_t Read(int Fd, void* Buffer, std::int64_t Count) {
  return ::_read(Fd, Buffer, Chunk(Count));
}

std::int64_t Write(int Fd, const void* Buffer, std::int64_t Count) {
  return ::_write(Fd, Buffer, Chunk(Count));
}

std::int64_t Seek(int Fd, std::int64_t Offset, int Whence) {
  return ::_lseeki64(Fd, Offset, Whence);
}

int Truncate(int Fd, std::int64_t Size) {
  const errno_t Error = ::_chsize_s(Fd, Size);
  if (Error == 0) return 0;
  errno = Error;
  return -1;
}

void MakeBinary(int Fd) {
  ::_setmode(Fd, _O_BINARY);
}

bool IsFile(const std::string& FileName) {
  struct _stat64 St {};
  return ::_stat64(FileName.c_str(), &St) == 0 && (St.st_mode & _S_IFDIR) == 0;
}

bool Remove(const std::string& FileName) {
  return ::_unlink(FileName.c_str()) == 0;
}

}  // namespace vantrel::filecalls
