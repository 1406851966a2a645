// This is an internal header of the Vantrel program.
// TRegistry: an accessor for one key of the registry, kept in a hive file (HiveFile.h). It
// opens a key, reads and writes string values in it, and closes it again; every call reads or
// updates the file, so the accessor holds no values of its own.
//
// Thread rule: one accessor is used by one thread; accessors on other threads and in other
// processes may work on the same file at the same time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "HiveFile.h"
#include "RegistryErrors.h"

namespace vantrel {

// The root keys, with the registry's values.
using TRootKey = std::uint32_t;
constexpr TRootKey HKEY_CLASSES_ROOT = 0x80000000;
constexpr TRootKey HKEY_CURRENT_USER = 0x80000001;
constexpr TRootKey HKEY_LOCAL_MACHINE = 0x80000002;
constexpr TRootKey HKEY_USERS = 0x80000003;

// The root's name as it stands in the file ("HKEY_LOCAL_MACHINE"); "" for an unknown root.
std::string RootKeyName(TRootKey Root);

class TRegistry {
 public:
  // An accessor on the hive file at HivePath (THiveFile::DefaultPath() when empty), with the root
  // HKEY_CURRENT_USER and lazy writing on, and no key open.
  explicit TRegistry(std::string HivePath = {});

  TRootKey RootKey() const { return root_; }
  // Closes an open key first.
  void SetRootKey(TRootKey Value);
  // Stored for the callers that set it: the file is written at once either way.
  bool LazyWrite() const { return lazyWrite_; }
  void SetLazyWrite(bool Value) { lazyWrite_ = Value; }

  // Opens Key (a path below the root, "SOFTWARE\Ossmark\Vantrel"); with CanCreate the key and
  // the keys above it are created when missing. False when the key does not exist or could not be
  // created; no key is open then.
  bool OpenKey(const std::string& Key, bool CanCreate);
  void CloseKey();
  bool HasCurrentKey() const { return open_; }
  const std::string& CurrentPath() const { return key_; }

  // The text of the string value Name of the open key: "" when no key is open or the value is
  // missing. Raises ERegistryException for a value of another type or one that cannot be read.
  std::string ReadString(const std::string& Name);
  // Stores Value as the string value Name of the open key; raises ERegistryException when no key
  // is open or the file cannot be written.
  void WriteString(const std::string& Name, const std::string& Value);

 private:
  std::string FullKey() const;

  THiveFile hive_;
  TRootKey root_ = HKEY_CURRENT_USER;
  bool lazyWrite_ = true;
  bool open_ = false;
  std::string key_;
  std::string wanted_;  // the full name of the key last asked for, for the failure's cause
};

}  // namespace vantrel
