// This is an internal header of the Vantrel program.
// The program's settings: five string values under HKEY_LOCAL_MACHINE "SOFTWARE\Ossmark\Vantrel",
// each read or written with a fresh registry accessor (Registry.h). Nothing is kept in memory.
//
// Thread rule: any thread; each call opens, uses and releases its own accessor.
#pragma once

#include <string>

namespace vantrel {

inline constexpr char SettingsKeyPath[] = "SOFTWARE\\Ossmark\\Vantrel";
inline constexpr char SettingUin[] = "UIN";
inline constexpr char SettingLeft[] = "Left";
inline constexpr char SettingTop[] = "Top";
inline constexpr char SettingProxy[] = "Proxy";
inline constexpr char SettingPort[] = "Port";

// The text of the value, or "" when the key or the value does not exist. Raises
// ERegistryException ("Invalid data type for '%s'", "Failed to get data for '%s'").
std::string ReadSettingValue(const std::string& KeyPath, const std::string& ValueName);
// Stores Data as a string value of the existing key KeyPath; raises ERegistryException
// ("Failed to set data for '%s'") when the key does not exist or the store cannot be written.
void WriteSettingValue(const std::string& KeyPath, const std::string& ValueName,
                       const std::string& Data);
// Opens KeyPath, creating it and the keys above it when missing. Reports nothing: false only
// tells that the key could not be created.
bool CreateSettingKey(const std::string& KeyPath);

// "server:port" from the dialog or the command line: the text before the first ':' and all the
// text after it. False when the text is empty or has no ':'.
bool SplitProxySetting(const std::string& Text, std::string& Proxy, std::string& Port);

}  // namespace vantrel
