// vantrel-check: the window's status check without a window. Prints the text the status bar
// would show and exits with the status:
//   0 Online, 1 Offline, 2 Unknown, 3 "Can't connect to ICQ server", 64 usage error.
// Without --proxy or --no-proxy it uses the proxy stored by the program.
#include <cstdint>
#include <cstdio>
#include <string>

#include "HttpProt.h"
#include "SettingsStore.h"
#include "StatusCheck.h"

using namespace vantrel;

namespace {

// Where the proxy setting comes from.
enum TProxyChoice : std::uint8_t { pcStored, pcGiven, pcNone };

constexpr int kExitCantConnect = 3;
constexpr int kExitUsage = 64;

int Usage() {
  std::fputs("usage: vantrel-check [--proxy HOST:PORT | --no-proxy] UIN\n", stderr);
  return kExitUsage;
}

int ExitCodeOf(TIcqStatus Status) {
  switch (Status) {
    case isOnline:
      return 0;
    case isOffline:
      return 1;
    case isUnknown:
    default:
      return 2;
  }
}

}  // namespace

int main(int argc, char** argv) {
  TProxyChoice ProxyChoice = pcStored;
  std::string ProxyText, Uin;
  bool HaveUin = false, OptionsEnded = false;
  for (int I = 1; I < argc; ++I) {
    const std::string Arg = argv[I];
    if (!OptionsEnded && Arg == "--") {
      OptionsEnded = true;
    } else if (!OptionsEnded && (Arg == "--proxy" || Arg.rfind("--proxy=", 0) == 0)) {
      if (ProxyChoice != pcStored) return Usage();
      if (Arg == "--proxy") {
        if (++I >= argc) return Usage();
        ProxyText = argv[I];
      } else {
        ProxyText = Arg.substr(8);
      }
      ProxyChoice = pcGiven;
    } else if (!OptionsEnded && Arg == "--no-proxy") {
      if (ProxyChoice != pcStored) return Usage();
      ProxyChoice = pcNone;
    } else if (!OptionsEnded && Arg.size() > 1 && Arg[0] == '-') {
      return Usage();
    } else {
      if (HaveUin) return Usage();
      Uin = Arg;
      HaveUin = true;
    }
  }
  if (!HaveUin) return Usage();
  if (Uin.empty()) {
    std::puts(InvalidUinText);
    return kExitUsage;
  }
  std::string Proxy, Port;
  if (ProxyChoice == pcGiven && !SplitProxySetting(ProxyText, Proxy, Port)) {
    std::fputs("Invalid proxy settings.\n", stderr);
    return kExitUsage;
  }

  THttpCli Http(nullptr);
  ConfigureStatusClient(Http);
  TStatusCheck Check(Http);
  try {
    if (ProxyChoice == pcStored) {
      Proxy = ReadSettingValue(SettingsKeyPath, SettingProxy);
      Port = ReadSettingValue(SettingsKeyPath, SettingPort);
    }
    Http.SetProxy(Proxy);
    Http.SetProxyPort(Port);
    Check.Fetch(Uin);
    const TIcqStatus Status = ClassifyStatusSize(TStatusCheck::MeasureFile());
    std::printf("%s%s\n", Uin.c_str(), StatusSuffix(Status));
    TStatusCheck::DeleteFile();
    return ExitCodeOf(Status);
  } catch (const std::exception& E) {
    Check.Abandon();
    // The cause goes to standard error; the status line is the window's one text.
    std::fprintf(stderr, "vantrel-check: %s\n", E.what());
    std::printf("%s\n", CantConnectText);
    return kExitCantConnect;
  }
}
