// This is an internal header of the Vantrel program (the settings store's medium).
// A registry hive kept as text in the Windows registry export format:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Ossmark\Vantrel]
//   "UIN"="12345"
//
// TRegistryHive edits such a text in memory, line by line, so that a change touches only the
// line of the value it changes: comments, other keys, values of other types and lines it cannot
// read are kept as they are. A file in UTF-8 (with or without a byte order mark) or in UTF-16LE
// with a byte order mark, the registry editor's own export form, is written back in the same
// encoding; texts in memory are UTF-8. THiveFile keeps one hive on disk, with atomic replacement
// and an inter-process lock.
//
// Thread rule: objects of these classes are not shared between threads; separate objects on
// separate threads or processes may use the same file at the same time.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// How a stored value is typed. Only strings (plain, or "hex(1):" data) and expandable strings
// ("hex(2):" data) read as text; anything else is another type.
enum TRegDataType : std::uint8_t { rdString, rdExpandString, rdOtherType, rdUnreadable };

struct TRegValue {
  TRegDataType Type = rdString;
  std::string Data;  // the text (up to its first zero byte) of a string value
};

class TRegistryHive {
 public:
  TRegistryHive() = default;
  // Takes a whole file; never fails (lines that are not understood are kept, unread).
  explicit TRegistryHive(const std::string& Text);

  // The file text, in the encoding it came in; unchanged lines come out byte for byte as they
  // went in.
  std::string Text() const;

  // Key names are full paths with the root ("HKEY_LOCAL_MACHINE\SOFTWARE\..."), compared
  // without regard to ASCII case. A key exists when it has a section, or a section below it.
  bool HasKey(const std::string& Key) const;
  // Adds an empty section for Key unless it exists.
  void AddKey(const std::string& Key);
  // The value, or nothing when the key or the value does not exist (or was deleted with "-").
  std::optional<TRegValue> FindValue(const std::string& Key, const std::string& Name) const;
  // Stores Data as a string value (adding the section when the key exists only implicitly).
  void SetString(const std::string& Key, const std::string& Name, const std::string& Data);

  // The "Name"=data line for a string value, as written to the file.
  static std::string StringValueLine(const std::string& Name, const std::string& Data);

 private:
  struct Section {
    std::string Key;
    std::size_t Header;  // line index of "[...]"
    std::size_t End;     // one past its last line
  };
  struct ValueSpan {
    std::string Name;
    std::size_t First, Last;  // physical lines (a hex value may continue over several)
    std::string Data;         // the text after '=', continuations joined
  };
  std::vector<Section> Sections() const;
  std::vector<ValueSpan> Values(const Section& S) const;
  std::string NewLine() const { return crlf_ ? "\r" : ""; }

  enum TEncoding : std::uint8_t { teUtf8, teUtf8Bom, teUtf16Le };

  TEncoding encoding_ = teUtf8;
  std::string oddByte_;             // a UTF-16 file's last byte when its length is odd
  std::vector<std::string> lines_;  // without '\n'; a '\r' before it stays in the line
  bool crlf_ = false;
  bool endsWithNewline_ = true;
};

// One hive file on disk.
class THiveFile {
 public:
  explicit THiveFile(std::string Path);

  // $XDG_CONFIG_HOME/vantrel/registry.reg, or ~/.config/vantrel/registry.reg when the variable
  // is unset, empty or not an absolute path. Read from the environment at each call.
  static std::string DefaultPath();

  const std::string& Path() const { return path_; }

  // The hive as stored now; an empty hive when the file is missing or cannot be read (Failure()
  // then says why). Needs no lock: the file is only ever replaced whole.
  TRegistryHive Load();

  // Under the inter-process lock: reads the file again, lets Change edit it, and, when Change
  // returns true, replaces the file atomically (temporary file, fsync, rename, fsync of the
  // folder). The replacement keeps the old file's permission bits; when the path is a symbolic
  // link, the file it leads to is locked and replaced, beside itself, and the link stays.
  // Creates the folder when missing. Returns false when the lock could not be had within a few
  // seconds or the file could not be read or written; the old file is then left as it was, and
  // Failure() says why ("<file>: <reason>"), until the next Load or Update.
  bool Update(const std::function<bool(TRegistryHive&)>& Change);
  const std::string& Failure() const { return failure_; }

 private:
  std::string path_;
  std::string failure_;
};

}  // namespace vantrel
