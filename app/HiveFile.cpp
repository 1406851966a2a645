#include "HiveFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "UniqueFd.h"

namespace vantrel {

THiveFile::THiveFile(std::string Path) : path_(std::move(Path)) {}

std::string THiveFile::DefaultPath() {
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      const passwd* pw = getpwuid(getuid());
      home = pw != nullptr ? pw->pw_dir : "/tmp";
    }
    base = std::string(home) + "/.config";
  }
  return base + "/vantrel/registry.reg";
}

namespace {

constexpr char kTempInfix[] = ".tmp-";
// How long a writer waits for another process to finish its update.
constexpr auto kLockPatience = std::chrono::seconds(5);

// Whole file into text; false for a failure other than the file being missing.
bool ReadWholeFile(const std::string& path, std::string& text) {
  text.clear();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return errno == ENOENT;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Temporary files left by a writer that was killed before its rename. Only a lock holder writes
// them, so under the lock every one found is stale.
void RemoveStaleTemporaries(const std::filesystem::path& file) {
  const std::string prefix = file.filename().string() + kTempInfix;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), ec)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0)
      std::filesystem::remove(entry.path(), ec);
  }
}

// Writes text to a new file beside path, with the permission bits mode, and renames it over path.
// On failure errno says why.
bool ReplaceAtomically(const std::string& path, const std::string& text, mode_t mode) {
  std::string temp = path + kTempInfix + "XXXXXX";
  UniqueFd fd(::mkstemp(temp.data()));
  if (!fd.Valid()) return false;
  bool ok = ::fchmod(fd.Get(), mode) == 0 && WriteAll(fd.Get(), text) && ::fsync(fd.Get()) == 0;
  ok = fd.Close() && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int err = errno;
    ::unlink(temp.c_str());
    errno = err;
    return false;
  }
  // The rename itself must reach the disk for the new contents to survive a crash.
  UniqueFd dir(::open(std::filesystem::path(path).parent_path().c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Valid()) ::fsync(dir.Get());
  return true;
}

// The file that path leads to: symbolic links are followed (a relative one from its own folder),
// so that a settings file kept elsewhere is replaced there and the link stays. A chain that does
// not end is left to the system, whose open then refuses it.
std::string LinkTarget(const std::string& path) {
  std::filesystem::path at(path);
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(at, ec))) break;
    const std::filesystem::path next = std::filesystem::read_symlink(at, ec);
    if (ec) break;
    at = next.is_absolute() ? next : at.parent_path() / next;
  }
  return at.string();
}

}  // namespace

TRegistryHive THiveFile::Load() {
  failure_.clear();
  std::string text;
  if (!ReadWholeFile(path_, text)) {
    failure_ = path_ + ": " + std::strerror(errno);
    return TRegistryHive();
  }
  return TRegistryHive(text);
}

bool THiveFile::Update(const std::function<bool(TRegistryHive&)>& Change) {
  failure_.clear();
  const std::string target = LinkTarget(path_);
  const auto fail = [&](const std::string& where, const std::string& why) {
    failure_ = where + ": " + why;
    return false;
  };
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(target).parent_path(), ec);
  const std::string lockPath = target + ".lock";
  UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.Valid()) return fail(lockPath, std::strerror(errno));
  const auto giveUp = std::chrono::steady_clock::now() + kLockPatience;
  while (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return fail(lockPath, std::strerror(errno));
    if (std::chrono::steady_clock::now() >= giveUp)
      return fail(lockPath, "held by another process for too long");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  RemoveStaleTemporaries(target);
  // Read again under the lock, so that a value another process wrote a moment ago is kept.
  std::string text;
  if (!ReadWholeFile(target, text)) return fail(target, std::strerror(errno));
  TRegistryHive hive(text);
  if (!Change(hive)) return true;
  // A new file is private; a replaced one keeps its bits.
  struct stat old {};
  const mode_t mode = ::stat(target.c_str(), &old) == 0 ? old.st_mode & 07777 : 0600;
  if (!ReplaceAtomically(target, hive.Text(), mode)) return fail(target, std::strerror(errno));
  return true;
  // The lock is released when `lock` is closed.
}

}  // namespace vantrel
