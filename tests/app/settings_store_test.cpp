// The settings store: the hive text format, the accessor's errors, atomic replacement under a
// kill, and two processes writing at once. Each test has its own XDG_CONFIG_HOME.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "Registry.h"
#include "RegistryHive.h"
#include "SettingsStore.h"
#include "TempDir.h"

using namespace vantrel;
using vantrel::test::ReadFile;
using vantrel::test::TempDir;
using vantrel::test::WriteFile;

namespace {

constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Ossmark\\Vantrel";

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(config_.Path().empty());
    setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1);
  }
  std::string Hive() const { return config_.File("vantrel/registry.reg"); }
  void WriteHive(const std::string& Values) {
    WriteFile(Hive(),
              std::string("Windows Registry Editor Version 5.00\n\n[") + kKey + "]\n" + Values);
  }
  std::string ErrorOf(const std::string& Name) {
    try {
      ReadSettingValue(SettingsKeyPath, Name);
    } catch (const ERegistryException& E) {
      return E.Message();
    }
    return "(no error)";
  }

  TempDir config_{"vantrel-store-"};
};

// Forks a child that runs Body and exits; returns its pid.
template <class F>
pid_t Spawn(F Body) {
  const pid_t Pid = fork();
  if (Pid == 0) {
    int Code = 0;
    try {
      Body();
    } catch (...) {
      Code = 1;
    }
    _exit(Code);
  }
  return Pid;
}

int WaitExit(pid_t Pid) {
  int Status = 0;
  // Bounded: a child that hangs is killed after 60 s.
  for (int I = 0; I < 6000; ++I) {
    if (waitpid(Pid, &Status, WNOHANG) == Pid) return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(Pid, SIGKILL);
  waitpid(Pid, &Status, 0);
  return -1;
}

}  // namespace

TEST(RegistryHiveText, EditsTouchOnlyTheirLine) {
  const std::string Text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; kept as it is\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ossmark\\Vantrel]\r\n"
      "\"UIN\"=\"1\"\r\n"
      "\"Bin\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "this line means nothing\r\n"
      "\"Left\"=\"5\"\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
      "\"UIN\"=\"other\"\r\n";
  TRegistryHive Hive(Text);
  EXPECT_EQ(Hive.Text(), Text);
  ASSERT_TRUE(Hive.FindValue(kKey, "uin"));  // names ignore case
  EXPECT_EQ(Hive.FindValue(kKey, "uin")->Data, "1");
  EXPECT_EQ(Hive.FindValue(kKey, "Bin")->Type, rdOtherType);
  EXPECT_TRUE(Hive.HasKey("hkey_local_machine\\software\\ossmark"));  // a parent, implicitly
  EXPECT_FALSE(Hive.HasKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Ossmark\\Vantrel\\Sub"));

  Hive.SetString(kKey, "Left", "6");
  Hive.SetString(kKey, "Bin", "now text");
  Hive.SetString(kKey, "Top", "7");
  std::string Expected = Text;
  Expected.replace(Expected.find("\"Left\"=\"5\""), 10, "\"Left\"=\"6\"");
  const std::string OldBin = "\"Bin\"=hex:01,02,\\\r\n  03,04";
  Expected.replace(Expected.find(OldBin), OldBin.size(), "\"Bin\"=\"now text\"");
  Expected.insert(Expected.find("\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]") + 2,
                  "\"Top\"=\"7\"\r\n");
  EXPECT_EQ(Hive.Text(), Expected);
  EXPECT_EQ(Hive.FindValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Other", "UIN")->Data, "other");
}

TEST(RegistryHiveText, ValueForms) {
  TRegistryHive Hive(std::string("[") + kKey + "]\n" +
                     "\"Quoted\"=\"a \\\"b\\\" c\\\\d\"\n"
                     "\"Expand\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,00,00\n"
                     "\"Plain\"=hex(1):68,00,69,00,00,00\n"
                     "\"Dword\"=dword:00000001\n"
                     "\"Multi\"=hex(7):61,00,00,00,00,00\n"
                     "\"Broken\"=\"no end\n"
                     "\"BadHex\"=hex(2):zz\n"
                     "\"Gone\"=\"x\"\n"
                     "\"Gone\"=-\n"
                     "\"Twice\"=\"first\"\n"
                     "@=\"default\"\n"
                     "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Removed]\n"
                     "\"Twice\"=\"not in the key\"\n"
                     "[" +
                     kKey +
                     "]\n"
                     "\"Twice\"=\"second\"\n");
  EXPECT_EQ(Hive.FindValue(kKey, "Quoted")->Data, "a \"b\" c\\d");
  EXPECT_EQ(Hive.FindValue(kKey, "Expand")->Type, rdExpandString);
  EXPECT_EQ(Hive.FindValue(kKey, "Expand")->Data, "%HOME%");
  EXPECT_EQ(Hive.FindValue(kKey, "Plain")->Data, "hi");
  EXPECT_EQ(Hive.FindValue(kKey, "Dword")->Type, rdOtherType);
  EXPECT_EQ(Hive.FindValue(kKey, "Multi")->Type, rdOtherType);
  EXPECT_EQ(Hive.FindValue(kKey, "Broken")->Type, rdUnreadable);
  EXPECT_EQ(Hive.FindValue(kKey, "BadHex")->Type, rdUnreadable);
  EXPECT_FALSE(Hive.FindValue(kKey, "Gone"));
  EXPECT_EQ(Hive.FindValue(kKey, "Twice")->Data, "second");
  EXPECT_EQ(Hive.FindValue(kKey, "")->Data, "default");
  EXPECT_FALSE(Hive.FindValue(kKey, "Missing"));

  // Texts that a quoted string cannot hold go out as hex(1) and come back unchanged.
  const std::string Odd = std::string("line1\nline2\r") + "\"q\"\\";
  Hive.SetString(kKey, "Odd", Odd);
  EXPECT_NE(Hive.Text().find("\"Odd\"=hex(1):6c,00,"), std::string::npos);
  EXPECT_EQ(TRegistryHive(Hive.Text()).FindValue(kKey, "Odd")->Data, Odd);
  Hive.SetString(kKey, "Quotes", "say \"hi\" \\ bye");
  EXPECT_EQ(TRegistryHive(Hive.Text()).FindValue(kKey, "Quotes")->Data, "say \"hi\" \\ bye");

  // A UTF-16 export, as the registry editor writes it, reads the same.
  const std::string Ascii = std::string("[") + kKey + "]\r\n\"UIN\"=\"42\"\r\n";
  std::string Utf16 = "\xFF\xFE";
  for (char C : Ascii) {
    Utf16 += C;
    Utf16 += '\0';
  }
  EXPECT_EQ(TRegistryHive(Utf16).FindValue(kKey, "UIN")->Data, "42");
}

TEST_F(SettingsStoreTest, ReadAndWriteThroughTheFile) {
  EXPECT_EQ(ReadSettingValue(SettingsKeyPath, "UIN"), "");  // no file at all
  try {
    WriteSettingValue(SettingsKeyPath, "UIN", "1");
    ADD_FAILURE() << "a write without the key must fail";
  } catch (const ERegistryException& E) {
    EXPECT_EQ(E.Message(), "Failed to set data for 'UIN'");
  }
  ASSERT_TRUE(CreateSettingKey(SettingsKeyPath));
  WriteSettingValue(SettingsKeyPath, "UIN", "12345");
  WriteSettingValue(SettingsKeyPath, "Proxy", "");
  EXPECT_EQ(ReadSettingValue(SettingsKeyPath, "UIN"), "12345");
  EXPECT_EQ(ReadSettingValue("\\software\\OSSMARK\\vantrel\\", "uin"), "12345");
  EXPECT_EQ(ReadSettingValue(SettingsKeyPath, "Proxy"), "");
  EXPECT_EQ(ReadSettingValue("SOFTWARE\\Nobody", "UIN"), "");
  EXPECT_EQ(ReadFile(Hive()), std::string("Windows Registry Editor Version 5.00\n\n[") + kKey +
                                  "]\n\"UIN\"=\"12345\"\n\"Proxy\"=\"\"\n");
  // No temporary file is left beside it.
  int Files = 0;
  for (const auto& Entry : std::filesystem::directory_iterator(config_.File("vantrel"))) {
    (void)Entry;
    ++Files;
  }
  EXPECT_EQ(Files, 2);  // the hive and its lock file
}

TEST_F(SettingsStoreTest, FailureTexts) {
  WriteHive("\"Left\"=dword:00000010\n\"Top\"=\"unterminated\n\"Proxy\"=hex(2):41,00,00,00\n");
  EXPECT_EQ(ErrorOf("Left"), "Invalid data type for 'Left'");
  EXPECT_EQ(ErrorOf("Top"), "Failed to get data for 'Top'");
  EXPECT_EQ(ReadSettingValue(SettingsKeyPath, "Proxy"), "A");

  // The hive's folder cannot be made: every write fails, reads give "".
  TempDir Other("vantrel-store-");
  WriteFile(Other.File("vantrel"), "a file, not a folder");
  setenv("XDG_CONFIG_HOME", Other.Path().c_str(), 1);
  EXPECT_FALSE(CreateSettingKey(SettingsKeyPath));
  EXPECT_EQ(ReadSettingValue(SettingsKeyPath, "UIN"), "");
  try {
    TRegistry Reg;
    Reg.SetRootKey(HKEY_LOCAL_MACHINE);
    Reg.OpenKey(SettingsKeyPath, true);
    Reg.WriteString("Port", "1");
    ADD_FAILURE() << "the write must fail";
  } catch (const ERegistryException& E) {
    EXPECT_EQ(E.Message(), "Failed to set data for 'Port'");
  }
}

// The same hive text as UTF-8 (P empty) or UTF-16 (P = u), with the program's UIN value.
#define HIVE_TEXT(P, UIN)                                                          \
  P##"Windows Registry Editor Version 5.00\r\n\r\n"                                \
     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"Name\"=\"Ωmega Жук\"\r\n\r\n" \
     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ossmark\\Vantrel]\r\n\"UIN\"=\"" UIN "\"\r\n"

std::string Utf16File(std::u16string_view Text) {
  std::string Bytes = "\xFF\xFE";
  for (char16_t Unit : Text) {
    Bytes += static_cast<char>(Unit & 0xFF);
    Bytes += static_cast<char>(Unit >> 8);
  }
  return Bytes;
}

TEST_F(SettingsStoreTest, WritesBackInTheEncodingItRead) {
  const std::string Bom = "\xEF\xBB\xBF";
  const std::pair<std::string, std::string> Files[] = {
      {HIVE_TEXT(, "1"), HIVE_TEXT(, "Жук 𝄞")},
      {Bom + HIVE_TEXT(, "1"), Bom + HIVE_TEXT(, "Жук 𝄞")},
      {Utf16File(HIVE_TEXT(u, "1")), Utf16File(HIVE_TEXT(u, "Жук 𝄞"))}};
  for (const auto& [Before, After] : Files) {
    ASSERT_TRUE(WriteFile(Hive(), Before));
    WriteSettingValue(SettingsKeyPath, SettingUin, "Жук 𝄞");
    EXPECT_EQ(ReadFile(Hive()), After);
    EXPECT_EQ(ReadSettingValue(SettingsKeyPath, SettingUin), "Жук 𝄞");
    EXPECT_EQ(ReadSettingValue("SOFTWARE\\Other", "Name"), "Ωmega Жук");
    // A text with a line break is stored as UTF-16 hex data.
    WriteSettingValue(SettingsKeyPath, "Lines", "Жук\r\n𝄞");
    EXPECT_EQ(ReadSettingValue(SettingsKeyPath, "Lines"), "Жук\r\n𝄞");
  }
}

TEST_F(SettingsStoreTest, WriteKeepsTheModeAndTheLink) {
  struct stat St {};
  WriteHive("\"UIN\"=\"1\"\n");
  ASSERT_EQ(chmod(Hive().c_str(), 0444), 0);
  WriteSettingValue(SettingsKeyPath, SettingUin, "2");
  ASSERT_EQ(stat(Hive().c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 07777, 0444u);
  EXPECT_EQ(ReadSettingValue(SettingsKeyPath, SettingUin), "2");

  // The settings file is a link to a file elsewhere: that file changes, the link stays.
  TempDir Elsewhere("vantrel-real-");
  const std::string Real = Elsewhere.File("real.reg");
  ASSERT_TRUE(WriteFile(Real, ReadFile(Hive())));
  ASSERT_EQ(chmod(Real.c_str(), 0640), 0);
  ASSERT_EQ(std::remove(Hive().c_str()), 0);
  ASSERT_EQ(symlink(Real.c_str(), Hive().c_str()), 0);
  WriteSettingValue(SettingsKeyPath, SettingUin, "3");
  ASSERT_EQ(lstat(Hive().c_str(), &St), 0);
  EXPECT_TRUE(S_ISLNK(St.st_mode));
  EXPECT_NE(ReadFile(Real).find("\"UIN\"=\"3\""), std::string::npos);
  ASSERT_EQ(stat(Real.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 07777, 0640u);
}

TEST_F(SettingsStoreTest, WhereTheHiveLives) {
  EXPECT_EQ(THiveFile::DefaultPath(), config_.Path() + "/vantrel/registry.reg");
  const char* Home = std::getenv("HOME");
  const std::string SavedHome = Home != nullptr ? Home : "";
  setenv("HOME", "/nonexistent-home", 1);
  setenv("XDG_CONFIG_HOME", "relative/path", 1);  // not absolute: ignored
  EXPECT_EQ(THiveFile::DefaultPath(), "/nonexistent-home/.config/vantrel/registry.reg");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(THiveFile::DefaultPath(), "/nonexistent-home/.config/vantrel/registry.reg");
  setenv("HOME", SavedHome.c_str(), 1);
}

TEST_F(SettingsStoreTest, TwoProcessesKeepEachOthersValues) {
  ASSERT_TRUE(CreateSettingKey(SettingsKeyPath));
  constexpr int kEach = 40;
  auto Writer = [](char Prefix) {
    return [Prefix] {
      for (int I = 0; I < kEach; ++I)
        WriteSettingValue(SettingsKeyPath, std::string(1, Prefix) + std::to_string(I),
                          std::to_string(I * 7));
    };
  };
  const pid_t A = Spawn(Writer('a'));
  const pid_t B = Spawn(Writer('b'));
  ASSERT_EQ(WaitExit(A), 0);
  ASSERT_EQ(WaitExit(B), 0);
  for (char Prefix : {'a', 'b'})
    for (int I = 0; I < kEach; ++I)
      EXPECT_EQ(ReadSettingValue(SettingsKeyPath, std::string(1, Prefix) + std::to_string(I)),
                std::to_string(I * 7))
          << Prefix << I;
}

TEST_F(SettingsStoreTest, AKilledWriterLeavesAWholeFile) {
  ASSERT_TRUE(CreateSettingKey(SettingsKeyPath));
  // A large value makes each write long enough to be killed in the middle of it.
  const std::string Large(256 * 1024, 'x');
  WriteSettingValue(SettingsKeyPath, "Large", Large);
  WriteSettingValue(SettingsKeyPath, "Fixed", "kept");
  for (int Round = 0; Round < 8; ++Round) {
    const pid_t Pid = Spawn([&] {
      for (int I = 0;; ++I) WriteSettingValue(SettingsKeyPath, "Counter", std::to_string(I));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(15 + Round * 7));
    kill(Pid, SIGKILL);
    WaitExit(Pid);
    const TRegistryHive Stored(ReadFile(Hive()));
    ASSERT_TRUE(Stored.FindValue(kKey, "Fixed")) << "round " << Round;
    EXPECT_EQ(Stored.FindValue(kKey, "Fixed")->Data, "kept");
    EXPECT_EQ(Stored.FindValue(kKey, "Large")->Data, Large);
  }
  // The next write clears the temporary files that killed writers left.
  WriteSettingValue(SettingsKeyPath, "Fixed", "still");
  for (const auto& Entry : std::filesystem::directory_iterator(config_.File("vantrel")))
    EXPECT_EQ(Entry.path().filename().string().find(".tmp-"), std::string::npos);
}
