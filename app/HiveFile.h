// This is an internal header of the Vantrel program (the settings store's medium).
// THiveFile keeps one registry hive (RegistryHive.h) on disk: read whole, and updated under an
// inter-process lock by atomic replacement, so that running instances keep each other's values.
//
// Thread rule: a THiveFile is not shared between threads; separate objects on separate threads
// or processes may use the same file at the same time.
#pragma once

#include <functional>
#include <string>

#include "RegistryHive.h"

namespace vantrel {

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
