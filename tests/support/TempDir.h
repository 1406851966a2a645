// This is an internal header of the test support library.
// A private temporary folder, removed with its contents on destruction, and whole-file helpers.
// Thread rule: any thread (one object is not shared between threads while it is destroyed).
#pragma once

#include <string>

namespace vantrel::test {

class TempDir {
 public:
  // Creates <prefix><random digits> in the system's temporary folder ($TMPDIR or /tmp, Windows'
  // TEMP); Path() is empty when that failed.
  explicit TempDir(const std::string& prefix = "vantrel-");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers; ReadFile returns "" for a missing file, WriteFile creates parent folders.
std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& contents);

}  // namespace vantrel::test
