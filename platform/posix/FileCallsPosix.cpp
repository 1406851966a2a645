#include "FileCalls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::filecalls {

int Open(const std::string& FileName, int Flags) {
  return ::open(FileName.c_str(), Flags | O_CLOEXEC, 0666);
}

int CreateNew(const std::string& FileName) {
  return ::open(FileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

int Close(int Fd) {
  return ::close(Fd);
}

std::int64_t Read(int Fd, void* Buffer, std::int64_t Count) {
  return ::read(Fd, Buffer, static_cast<std::size_t>(Count));
}

std::int64_t Write(int Fd, const void* Buffer, std::int64_t Count) {
  return ::write(Fd, Buffer, static_cast<std::size_t>(Count));
}

std::int64_t Seek(int Fd, std::int64_t Offset, int Whence) {
  return ::lseek(Fd, static_cast<off_t>(Offset), Whence);
}

int Truncate(int Fd, std::int64_t Size) {
  return ::ftruncate(Fd, static_cast<off_t>(Size));
}

void MakeBinary(int) {}

bool IsFile(const std::string& FileName) {
  struct stat St {};
  return ::stat(FileName.c_str(), &St) == 0 && !S_ISDIR(St.st_mode);
}

bool Remove(const std::string& FileName) {
  return ::unlink(FileName.c_str()) == 0;
}

}  // namespace vantrel::filecalls
