// The settings on Windows: in the registry, under HKEY_LOCAL_MACHINE. Where the machine's key
// cannot be written (a user without administrator rights), the same key path under
// HKEY_CURRENT_USER takes the values: reads look there first and fall back to the machine's.
// Names and texts go to the registry as UTF-16 (the program's texts are UTF-8), so that no text
// passes through the ANSI code page.
#include <cstring>
#include <optional>
#include <string>

#include "RegistryErrors.h"
#include "SettingsStore.h"
#include "TextUtils.h"
#include "Utf16Text.h"
#include "WinTypes.h"

namespace vantrel {
namespace {

std::wstring Wide(const std::string& Text) {
  const std::string Units = Utf8ToUtf16Le(Text);
  std::wstring Out(Units.size() / 2, L'\0');
  std::memcpy(Out.data(), Units.data(), Out.size() * sizeof(wchar_t));
  return Out;
}

// An open registry key, closed with its owner.
class TKey {
 public:
  TKey() = default;
  ~TKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  TKey(const TKey&) = delete;
  TKey& operator=(const TKey&) = delete;

  // The system's answer (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...).
  LSTATUS Open(HKEY Root, const std::string& Path, REGSAM Access) {
    return RegOpenKeyExW(Root, Wide(Path).c_str(), 0, Access, &key_);
  }
  LSTATUS Create(HKEY Root, const std::string& Path, REGSAM Access) {
    return RegCreateKeyExW(Root, Wide(Path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, Access,
                           nullptr, &key_, nullptr);
  }
  HKEY Handle() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::string SystemReason(LSTATUS Code) {
  char Text[256] = {};
  const DWORD Length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(Code), 0, Text, sizeof Text, nullptr);
  std::string Reason(Text, Length);
  while (!Reason.empty() &&
         (Reason.back() == '\n' || Reason.back() == '\r' || Reason.back() == '.'))
    Reason.pop_back();
  return Reason.empty() ? Format("error %ld", static_cast<long>(Code)) : Reason;
}

// The string value Name of the key, nothing when the key or the value is missing.
std::optional<std::string> ReadFrom(HKEY Root, const std::string& KeyPath,
                                    const std::string& Name) {
  TKey Key;
  if (Key.Open(Root, KeyPath, KEY_QUERY_VALUE) != ERROR_SUCCESS) return std::nullopt;
  const std::wstring WideName = Wide(Name);
  for (;;) {
    DWORD Type = 0;
    DWORD Size = 0;
    LSTATUS Result =
        RegQueryValueExW(Key.Handle(), WideName.c_str(), nullptr, &Type, nullptr, &Size);
    if (Result == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (Result == ERROR_SUCCESS && Type != REG_SZ && Type != REG_EXPAND_SZ)
      throw ERegistryException(Format("Invalid data type for '%s'", Name.c_str()));
    std::string Data(Size, '\0');  // UTF-16LE
    if (Result == ERROR_SUCCESS) {
      Result = RegQueryValueExW(Key.Handle(), WideName.c_str(), nullptr, &Type,
                                reinterpret_cast<BYTE*>(Data.data()), &Size);
    }
    // The value grew in between: ask again.
    if (Result == ERROR_MORE_DATA) continue;
    if (Result != ERROR_SUCCESS)
      throw ERegistryException(Format("Failed to get data for '%s'", Name.c_str()),
                               SystemReason(Result));
    Data.resize(Size & ~DWORD{1});
    while (Data.size() >= 2 && Data[Data.size() - 1] == '\0' && Data[Data.size() - 2] == '\0')
      Data.resize(Data.size() - 2);
    return Utf16LeToUtf8(Data);
  }
}

bool MachineWritable(const std::string& KeyPath) {
  TKey Key;
  return Key.Open(HKEY_LOCAL_MACHINE, KeyPath, KEY_SET_VALUE) == ERROR_SUCCESS;
}

}  // namespace

std::string ReadSettingValue(const std::string& KeyPath, const std::string& ValueName) {
  if (!MachineWritable(KeyPath)) {
    if (auto Own = ReadFrom(HKEY_CURRENT_USER, KeyPath, ValueName)) return *Own;
  }
  return ReadFrom(HKEY_LOCAL_MACHINE, KeyPath, ValueName).value_or("");
}

void WriteSettingValue(const std::string& KeyPath, const std::string& ValueName,
                       const std::string& Data) {
  TKey Key;
  const LSTATUS Machine = Key.Open(HKEY_LOCAL_MACHINE, KeyPath, KEY_SET_VALUE);
  LSTATUS Opened = Machine;
  if (Opened != ERROR_SUCCESS) {
    // The user's key made by an earlier fallback, or made now when the machine's key is there
    // but closed to this user.
    Opened = Machine == ERROR_ACCESS_DENIED ? Key.Create(HKEY_CURRENT_USER, KeyPath, KEY_SET_VALUE)
                                            : Key.Open(HKEY_CURRENT_USER, KeyPath, KEY_SET_VALUE);
  }
  LSTATUS Result = Opened;
  if (Result == ERROR_SUCCESS) {
    const std::string Units = Utf8ToUtf16Le(Data) + std::string(2, '\0');
    Result = RegSetValueExW(Key.Handle(), Wide(ValueName).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(Units.data()),
                            static_cast<DWORD>(Units.size()));
  }
  if (Result != ERROR_SUCCESS) {
    const std::string Cause = Result == ERROR_FILE_NOT_FOUND
                                  ? "no key HKEY_LOCAL_MACHINE\\" + KeyPath
                                  : "HKEY_LOCAL_MACHINE\\" + KeyPath + ": " + SystemReason(Result);
    throw ERegistryException(Format("Failed to set data for '%s'", ValueName.c_str()), Cause);
  }
}

bool CreateSettingKey(const std::string& KeyPath) {
  TKey Machine;
  if (Machine.Create(HKEY_LOCAL_MACHINE, KeyPath, KEY_SET_VALUE) == ERROR_SUCCESS) return true;
  TKey User;
  return User.Create(HKEY_CURRENT_USER, KeyPath, KEY_SET_VALUE) == ERROR_SUCCESS;
}

}  // namespace vantrel
