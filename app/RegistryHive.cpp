#include "RegistryHive.h"

#include <dirent.h>
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
#include <utility>

#include "Utf16Text.h"

namespace vantrel {
namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00";
constexpr char kTempInfix[] = ".tmp-";
const std::string kUtf16Bom = "\xFF\xFE";
const std::string kUtf8Bom = "\xEF\xBB\xBF";
// How long a writer waits for another process to finish its update.
constexpr auto kLockPatience = std::chrono::seconds(5);

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded (it can report a late write error).
  bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string StripCr(const std::string& line) {
  return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
}

std::string TrimBlanks(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// "HKEY_LOCAL_MACHINE\Software\X\" -> "hkey_local_machine\software\x"
std::string NormalKey(const std::string& key) {
  std::string k = TrimBlanks(key);
  while (!k.empty() && k.back() == '\\') k.pop_back();
  while (!k.empty() && k.front() == '\\') k.erase(0, 1);
  return Lower(k);
}

// Reads a quoted text starting at s[pos] == '"' with the \\ and \" escapes; pos ends past the
// closing quote. False when the quote is not closed.
bool ReadQuoted(const std::string& s, std::size_t& pos, std::string& out) {
  out.clear();
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\' && pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) c = s[++pos];
    out += c;
  }
  return false;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "41,00,42,00" (blanks and continuation backslashes allowed) -> bytes; false when malformed.
bool ParseHexList(const std::string& s, std::string& bytes) {
  bytes.clear();
  std::string digits;
  auto flush = [&]() {
    if (digits.empty()) return true;
    if (digits.size() > 2) return false;
    int v = 0;
    for (char d : digits) v = v * 16 + HexDigit(d);
    bytes += static_cast<char>(v);
    digits.clear();
    return true;
  };
  for (char c : s) {
    if (c == ',') {
      if (digits.empty() || !flush()) return false;
    } else if (c == ' ' || c == '\t' || c == '\\' || c == '\r') {
      continue;
    } else if (HexDigit(c) >= 0) {
      digits += c;
    } else {
      return false;
    }
  }
  return flush();
}

// String data as the registry keeps it: UTF-16LE up to the first zero unit.
std::string StringOfUtf16(const std::string& units) {
  std::size_t end = 0;
  while (end + 1 < units.size() && (units[end] != '\0' || units[end + 1] != '\0')) end += 2;
  return Utf16LeToUtf8(std::string_view(units).substr(0, end));
}

std::string HexOfUtf16(const std::string& text) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (char c : Utf8ToUtf16Le(text) + std::string(2, '\0')) {
    const auto b = static_cast<unsigned char>(c);
    if (!out.empty()) out += ',';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// Interprets the text after '='. Nothing for a deleted value ("-").
std::optional<TRegValue> DecodeData(const std::string& raw) {
  const std::string data = TrimBlanks(StripCr(raw));
  if (data == "-") return std::nullopt;
  TRegValue v;
  if (!data.empty() && data.front() == '"') {
    std::size_t pos = 0;
    if (!ReadQuoted(data, pos, v.Data) || pos != data.size()) return TRegValue{rdUnreadable, {}};
    v.Data = v.Data.substr(0, v.Data.find('\0'));
    v.Type = rdString;
    return v;
  }
  const std::string lower = Lower(data);
  for (auto [prefix, type] :
       {std::pair{"hex(1):", rdString}, std::pair{"hex(2):", rdExpandString}}) {
    if (lower.rfind(prefix, 0) == 0) {
      std::string bytes;
      if (!ParseHexList(data.substr(7), bytes)) return TRegValue{rdUnreadable, {}};
      return TRegValue{type, StringOfUtf16(bytes)};
    }
  }
  if (lower.rfind("dword:", 0) == 0 || lower.rfind("hex:", 0) == 0 || lower.rfind("hex(", 0) == 0 ||
      lower.rfind("qword:", 0) == 0)
    return TRegValue{rdOtherType, {}};
  return TRegValue{rdUnreadable, {}};
}

// Splits `"Name"=data` or `@=data`; false for a line that is no value.
bool SplitValueLine(const std::string& line, std::string& name, std::string& data) {
  std::string s = TrimBlanks(StripCr(line));
  std::size_t pos = 0;
  if (s.empty()) return false;
  if (s[0] == '@') {
    name.clear();
    pos = 1;
  } else if (s[0] == '"') {
    if (!ReadQuoted(s, pos, name)) return false;
  } else {
    return false;
  }
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  if (pos >= s.size() || s[pos] != '=') return false;
  data = s.substr(pos + 1);
  return true;
}

bool IsSectionLine(const std::string& line, std::string& key) {
  std::string s = TrimBlanks(StripCr(line));
  if (s.size() < 2 || s.front() != '[' || s.back() != ']') return false;
  key = s.substr(1, s.size() - 2);
  return true;
}

bool ContinuesOnNextLine(const std::string& line) {
  std::string s = TrimBlanks(StripCr(line));
  return !s.empty() && s.back() == '\\';
}

}  // namespace

TRegistryHive::TRegistryHive(const std::string& Text) {
  std::string text;
  if (Text.rfind(kUtf16Bom, 0) == 0) {
    // A UTF-16 export, as the registry editor writes it: edited as UTF-8, written back as it came.
    encoding_ = teUtf16Le;
    const std::string_view units = std::string_view(Text).substr(2);
    text = Utf16LeToUtf8(units);
    if (units.size() % 2 != 0) oddByte_ = std::string(1, units.back());
  } else if (Text.rfind(kUtf8Bom, 0) == 0) {
    encoding_ = teUtf8Bom;
    text = Text.substr(3);
  } else {
    text = Text;
  }
  if (text.empty()) return;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines_.push_back(text.substr(start));
      endsWithNewline_ = false;
      break;
    }
    lines_.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  crlf_ = !lines_.empty() && !lines_.front().empty() && lines_.front().back() == '\r';
}

std::string TRegistryHive::Text() const {
  std::string out;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    out += lines_[i];
    if (i + 1 < lines_.size() || endsWithNewline_) out += '\n';
  }
  switch (encoding_) {
    case teUtf16Le:
      return kUtf16Bom + Utf8ToUtf16Le(out) + oddByte_;
    case teUtf8Bom:
      return kUtf8Bom + out;
    case teUtf8:
    default:
      return out;
  }
}

std::vector<TRegistryHive::Section> TRegistryHive::Sections() const {
  std::vector<Section> sections;
  std::string key;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (!IsSectionLine(lines_[i], key)) continue;
    if (!sections.empty()) sections.back().End = i;
    // "[-KEY]" deletes a key on import: it names no key here, but it does end the section above.
    sections.push_back(
        Section{key.rfind('-', 0) == 0 ? std::string() : NormalKey(key), i, lines_.size()});
  }
  return sections;
}

std::vector<TRegistryHive::ValueSpan> TRegistryHive::Values(const Section& S) const {
  std::vector<ValueSpan> values;
  std::string name, data;
  for (std::size_t i = S.Header + 1; i < S.End; ++i) {
    if (!SplitValueLine(lines_[i], name, data)) continue;
    ValueSpan v{name, i, i, data};
    while (ContinuesOnNextLine(lines_[v.Last]) && v.Last + 1 < S.End) {
      ++v.Last;
      v.Data += StripCr(lines_[v.Last]);
    }
    i = v.Last;
    values.push_back(std::move(v));
  }
  return values;
}

bool TRegistryHive::HasKey(const std::string& Key) const {
  const std::string k = NormalKey(Key);
  if (k.empty()) return false;
  for (const Section& s : Sections()) {
    if (s.Key.empty()) continue;
    if (s.Key == k || s.Key.rfind(k + "\\", 0) == 0) return true;
  }
  return false;
}

void TRegistryHive::AddKey(const std::string& Key) {
  const std::string k = NormalKey(Key);
  for (const Section& s : Sections())
    if (s.Key == k) return;
  if (lines_.empty()) {
    lines_.push_back(std::string(kHeader) + NewLine());
  }
  if (!TrimBlanks(StripCr(lines_.back())).empty()) lines_.push_back(NewLine());
  std::string name = TrimBlanks(Key);
  while (!name.empty() && name.back() == '\\') name.pop_back();
  lines_.push_back("[" + name + "]" + NewLine());
  endsWithNewline_ = true;
}

std::optional<TRegValue> TRegistryHive::FindValue(const std::string& Key,
                                                  const std::string& Name) const {
  const std::string k = NormalKey(Key), n = Lower(Name);
  std::optional<TRegValue> found;
  for (const Section& s : Sections()) {
    if (s.Key != k) continue;
    // When a value appears twice, the later line wins, as it would on import.
    for (const ValueSpan& v : Values(s))
      if (Lower(v.Name) == n) found = DecodeData(v.Data);
  }
  return found;
}

std::string TRegistryHive::StringValueLine(const std::string& Name, const std::string& Data) {
  const std::string name = Name.empty() ? "@" : Quote(Name);
  // Line breaks and zero bytes cannot stand in a quoted string of this format.
  if (Data.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    return name + "=hex(1):" + HexOfUtf16(Data);
  return name + "=" + Quote(Data);
}

void TRegistryHive::SetString(const std::string& Key, const std::string& Name,
                              const std::string& Data) {
  const std::string k = NormalKey(Key), n = Lower(Name);
  const std::string line = StringValueLine(Name, Data) + NewLine();
  std::vector<Section> sections = Sections();
  const Section* target = nullptr;
  for (const Section& s : sections)
    if (s.Key == k) target = &s;
  if (target == nullptr) {
    AddKey(Key);
    lines_.push_back(line);
    return;
  }
  std::vector<ValueSpan> values = Values(*target);
  for (auto it = values.rbegin(); it != values.rend(); ++it) {
    if (Lower(it->Name) != n) continue;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(it->First) + 1,
                 lines_.begin() + static_cast<std::ptrdiff_t>(it->Last) + 1);
    lines_[it->First] = line;
    return;
  }
  std::size_t at = target->End;
  while (at > target->Header + 1 && TrimBlanks(StripCr(lines_[at - 1])).empty()) --at;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), line);
  if (at == lines_.size() - 1) endsWithNewline_ = true;
}

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

// Whole file into text; false for a failure other than the file being missing.
bool ReadWholeFile(const std::string& path, std::string& text) {
  text.clear();
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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
  FileDescriptor fd(::mkstemp(temp.data()));
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
  FileDescriptor dir(::open(std::filesystem::path(path).parent_path().c_str(),
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
  FileDescriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
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
