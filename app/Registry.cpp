#include "Registry.h"

#include <utility>

namespace vantrel {

std::string RootKeyName(TRootKey Root) {
  switch (Root) {
    case HKEY_CLASSES_ROOT:
      return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER:
      return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE:
      return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS:
      return "HKEY_USERS";
    default:
      return {};
  }
}

TRegistry::TRegistry(std::string HivePath)
    : hive_(HivePath.empty() ? THiveFile::DefaultPath() : std::move(HivePath)) {}

void TRegistry::SetRootKey(TRootKey Value) {
  CloseKey();
  root_ = Value;
}

std::string TRegistry::FullKey() const {
  return RootKeyName(root_) + "\\" + key_;
}

bool TRegistry::OpenKey(const std::string& Key, bool CanCreate) {
  CloseKey();
  std::string path = Key;
  while (!path.empty() && path.front() == '\\') path.erase(0, 1);
  while (!path.empty() && path.back() == '\\') path.pop_back();
  if (path.empty() || RootKeyName(root_).empty()) return false;
  key_ = path;
  const std::string full = FullKey();
  wanted_ = full;
  bool exists = hive_.Load().HasKey(full);
  if (!exists && CanCreate) {
    exists = hive_.Update([&](TRegistryHive& hive) {
      if (hive.HasKey(full)) return false;
      hive.AddKey(full);
      return true;
    });
  }
  open_ = exists;
  if (!open_) key_.clear();
  return open_;
}

void TRegistry::CloseKey() {
  open_ = false;
  key_.clear();
}

std::string TRegistry::ReadString(const std::string& Name) {
  if (!open_) return {};
  const std::optional<TRegValue> value = hive_.Load().FindValue(FullKey(), Name);
  if (!value) return {};
  switch (value->Type) {
    case rdString:
    case rdExpandString:
      return value->Data;
    case rdOtherType:
      throw ERegistryException(Format("Invalid data type for '%s'", Name.c_str()));
    case rdUnreadable:
    default:
      throw ERegistryException(Format("Failed to get data for '%s'", Name.c_str()));
  }
}

void TRegistry::WriteString(const std::string& Name, const std::string& Value) {
  const std::string full = FullKey();
  bool keyThere = false;
  const bool stored = open_ && hive_.Update([&](TRegistryHive& hive) {
    // The key may have been removed by hand since it was opened.
    keyThere = hive.HasKey(full);
    if (keyThere) hive.SetString(full, Name, Value);
    return keyThere;
  });
  if (!stored || !keyThere) {
    const std::string cause =
        !hive_.Failure().empty() ? hive_.Failure() : hive_.Path() + ": no key " + wanted_;
    throw ERegistryException(Format("Failed to set data for '%s'", Name.c_str()), cause);
  }
}

}  // namespace vantrel
