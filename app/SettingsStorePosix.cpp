// The settings on Linux: in the hive file, through the registry accessor.
#include "Registry.h"
#include "SettingsStore.h"

namespace vantrel {

std::string ReadSettingValue(const std::string& KeyPath, const std::string& ValueName) {
  TRegistry Reg;
  Reg.SetRootKey(HKEY_LOCAL_MACHINE);
  Reg.SetLazyWrite(false);
  // A key that cannot be opened leaves the accessor without a key: the read gives "".
  Reg.OpenKey(KeyPath, false);
  std::string Result = Reg.ReadString(ValueName);
  Reg.CloseKey();
  return Result;
}

void WriteSettingValue(const std::string& KeyPath, const std::string& ValueName,
                       const std::string& Data) {
  TRegistry Reg;
  Reg.SetRootKey(HKEY_LOCAL_MACHINE);
  Reg.SetLazyWrite(true);
  Reg.OpenKey(KeyPath, false);
  Reg.WriteString(ValueName, Data);
  Reg.CloseKey();
}

bool CreateSettingKey(const std::string& KeyPath) {
  TRegistry Reg;
  Reg.SetRootKey(HKEY_LOCAL_MACHINE);
  return Reg.OpenKey(KeyPath, true);
}

}  // namespace vantrel
