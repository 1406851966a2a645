// vantrel-check, the headless status check, run as a program against the local status service.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "SettingsStore.h"
#include "StatusServiceProcess.h"
#include "TempDir.h"

using namespace vantrel;
using vantrel::test::ProgramResult;
using vantrel::test::RunProgram;
using vantrel::test::StatusServiceProcess;
using vantrel::test::TempDir;

namespace {

class CheckTest : public ::testing::Test {
 protected:
  ProgramResult Run(const std::vector<std::string>& Args) {
    std::vector<std::string> Argv = {VANTREL_CHECK};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    return RunProgram(Argv, work_.Path(), {{"XDG_CONFIG_HOME", config_.Path()}}, 30000);
  }
  bool PictureLeft() const { return std::filesystem::exists(work_.File("_icq.gif")); }

  TempDir config_{"vantrel-config-"};
  TempDir work_{"vantrel-work-"};
};

}  // namespace

TEST_F(CheckTest, ExitCodesAndTexts) {
  StatusServiceProcess Service({"--status", "12345=online", "--status", "22222=offline", "--status",
                                "33333=unknown", "--status", "44444=404", "--status", "460=460"});
  ASSERT_TRUE(Service.Running()) << Service.Error();
  const std::string Proxy = Service.ProxySetting();
  struct Case {
    const char* Uin;
    int Code;
    const char* Out;
  };
  for (const Case& C : {Case{"12345", 0, "12345 : Online\n"}, Case{"22222", 1, "22222 : Offline\n"},
                        Case{"33333", 2, "33333 : Unknown\n"}, Case{"460", 2, "460 : Unknown\n"},
                        Case{"44444", 3, "Can't connect to ICQ server\n"}}) {
    const ProgramResult R = Run({"--proxy", Proxy, C.Uin});
    EXPECT_EQ(R.ExitCode, C.Code) << C.Uin << " " << R.Err;
    EXPECT_EQ(R.Out, C.Out);
    EXPECT_FALSE(PictureLeft()) << C.Uin;
  }
  // The same request as the window's, through the proxy.
  EXPECT_EQ(
      Service.Requests().front(),
      "GET http://wwp.icq.com/scripts/online.dll?icq=12345&img=1 HTTP/1.0\r\n"
      "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
      "User-Agent: Mozilla/3.0 (compatible)\r\nHost: wwp.icq.com\r\nPragma: no-cache\r\n\r\n");

  // A refused connection.
  const std::uint16_t Port = Service.Port();
  Service.Stop();
  const ProgramResult Refused = Run({"--proxy=127.0.0.1:" + std::to_string(Port), "12345"});
  EXPECT_EQ(Refused.ExitCode, 3);
  EXPECT_EQ(Refused.Out, "Can't connect to ICQ server\n");
  EXPECT_NE(Refused.Err.find("(Error #10061)"), std::string::npos) << Refused.Err;
}

TEST_F(CheckTest, StoredProxyIsUsedUnlessTold) {
  StatusServiceProcess Service({"--status", "777=offline"});
  ASSERT_TRUE(Service.Running()) << Service.Error();
  setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1);
  ASSERT_TRUE(CreateSettingKey(SettingsKeyPath));
  WriteSettingValue(SettingsKeyPath, SettingProxy, "127.0.0.1");
  WriteSettingValue(SettingsKeyPath, SettingPort, std::to_string(Service.Port()));
  ProgramResult R = Run({"777"});
  EXPECT_EQ(R.ExitCode, 1) << R.Err;
  EXPECT_EQ(R.Out, "777 : Offline\n");
  EXPECT_EQ(Service.Requests().size(), 1u);

  // --no-proxy goes straight to the service's real host, which is not reachable from the tests:
  // whatever the cause, it fails with the one text and never reaches the local service.
  R = Run({"--no-proxy", "777"});
  EXPECT_EQ(R.ExitCode, 3);
  EXPECT_EQ(R.Out, "Can't connect to ICQ server\n");
  EXPECT_EQ(Service.Requests().size(), 1u);

  // A stored proxy of another type fails like the window does.
  vantrel::test::WriteFile(config_.File("vantrel/registry.reg"),
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ossmark\\Vantrel]\n\"Proxy\"=dword:1\n");
  R = Run({"777"});
  EXPECT_EQ(R.ExitCode, 3);
  EXPECT_NE(R.Err.find("Invalid data type for 'Proxy'"), std::string::npos) << R.Err;
}

TEST_F(CheckTest, PictureNeverGoesThroughALink) {
  StatusServiceProcess Service({"--status", "12345=offline"});
  ASSERT_TRUE(Service.Running()) << Service.Error();
  TempDir Elsewhere("vantrel-victim-");
  const std::string Victim = Elsewhere.File("precious.txt");
  ASSERT_TRUE(vantrel::test::WriteFile(Victim, "keep me\n"));
  ASSERT_EQ(symlink(Victim.c_str(), work_.File("_icq.gif").c_str()), 0);
  const ProgramResult R = Run({"--proxy", Service.ProxySetting(), "12345"});
  EXPECT_EQ(R.ExitCode, 1) << R.Err;
  EXPECT_EQ(vantrel::test::ReadFile(Victim), "keep me\n");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(work_.File("_icq.gif"))));
}

TEST_F(CheckTest, UinIsPercentEncodedInTheRequest) {
  StatusServiceProcess Service;
  ASSERT_TRUE(Service.Running()) << Service.Error();
  const ProgramResult R = Run({"--proxy", Service.ProxySetting(), "12 34"});
  ASSERT_EQ(Service.Requests().size(), 1u) << R.Err;
  EXPECT_EQ(Service.Requests().front().substr(0, Service.Requests().front().find("\r\n")),
            "GET http://wwp.icq.com/scripts/online.dll?icq=12%2034&img=1 HTTP/1.0");
  EXPECT_EQ(R.Out, "12 34 : Offline\n");
}

TEST_F(CheckTest, UsageErrors) {
  ProgramResult R = Run({""});
  EXPECT_EQ(R.ExitCode, 64);
  EXPECT_EQ(R.Out, "Invalid UIN.\n");
  EXPECT_FALSE(PictureLeft());
  for (const std::vector<std::string>& Args : {std::vector<std::string>{},
                                               {"1", "2"},
                                               {"--proxy"},
                                               {"--proxy", "nocolon", "1"},
                                               {"--proxy", "a:1", "--no-proxy", "1"},
                                               {"--bogus", "1"}}) {
    R = Run(Args);
    EXPECT_EQ(R.ExitCode, 64) << ::testing::PrintToString(Args);
    EXPECT_EQ(R.Out, "");
  }
  // "--" ends the options: a UIN may start with a dash.
  R = Run({"--proxy", "127.0.0.1:1", "--", "-5"});
  EXPECT_EQ(R.ExitCode, 3);
}
