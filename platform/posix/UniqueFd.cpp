#include "UniqueFd.h"

#include <unistd.h>

namespace vantrel {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

bool UniqueFd::Close() {
  const int fd = Release();
  return fd >= 0 && ::close(fd) == 0;
}

}  // namespace vantrel
