// This is a public header file.
// UniqueFd: the one owner of a POSIX descriptor. It closes the descriptor when destroyed or
// reset, and moves but never copies, so a descriptor has exactly one owner at a time.
//
// Thread rule: like any value, one thread at a time.
#pragma once

namespace vantrel {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes fd.
  void Reset(int fd = -1);
  // Closes now and reports whether the close succeeded: a file's close can report a late write
  // error. False when nothing was held.
  bool Close();

 private:
  int fd_ = -1;
};

}  // namespace vantrel
