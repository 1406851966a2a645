// The program as a user runs it: started offscreen, its window closed as a window manager closes
// it (a close request delivered to the window by the test's generic Qt plugin).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "StatusServiceProcess.h"
#include "TempDir.h"

using vantrel::test::ProgramResult;
using vantrel::test::ReadFile;
using vantrel::test::RunProgram;
using vantrel::test::TempDir;
using vantrel::test::WriteFile;

TEST(ProgramTest, ClosingTheWindowEndsTheProgram) {
  TempDir Config("vantrel-config-"), Work("vantrel-work-"), Runtime("vantrel-runtime-");
  ASSERT_EQ(chmod(Runtime.Path().c_str(), 0700), 0);
  const std::string Hive = Config.File("vantrel/registry.reg");
  ASSERT_TRUE(WriteFile(Hive,
                        "Windows Registry Editor Version 5.00\n\n"
                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ossmark\\Vantrel]\n\"Left\"=\"10\"\n"
                        "\"Top\"=\"20\"\n"));
  // The bound only keeps a program that never ends from hanging the suite.
  const ProgramResult R = RunProgram({VANTREL_PROGRAM}, Work.Path(),
                                     {{"QT_QPA_PLATFORM", "offscreen"},
                                      {"XDG_CONFIG_HOME", Config.Path()},
                                      {"XDG_RUNTIME_DIR", Runtime.Path()},
                                      {"QT_PLUGIN_PATH", VANTREL_TEST_PLUGINS},
                                      {"QT_QPA_GENERIC_PLUGINS", "closerequest"}},
                                     30000);
  EXPECT_EQ(R.ExitCode, 0) << R.Err;
  // The close stored the settings on its way out: the number box's text is written only then.
  EXPECT_NE(ReadFile(Hive).find("\"UIN\"=\"\""), std::string::npos) << ReadFile(Hive);
}
