// vantrel-status-service: a local stand-in for the ICQ web status indicator service, so that the
// program can be run and tested anywhere. It answers
//   GET /scripts/online.dll?icq=UIN&img=N                  (origin form)
//   GET http://host[:port]/scripts/online.dll?icq=UIN&img=N (as a proxy receives it)
// with a GIF picture whose size lies in the band of the UIN's status. Point the program's proxy
// setting at it.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "Application.h"
#include "ServiceProcess.h"
#include "StatusService.h"

using namespace vantrel;

namespace {

constexpr char kUsage[] =
    "usage: vantrel-status-service [options]\n"
    "  --address A        listen on address A (default 127.0.0.1)\n"
    "  --port P           listen on port P (default 0: any free port)\n"
    "  --port-file F      write the port listened on into file F\n"
    "  --status UIN=ANS   answer ANS for UIN (repeatable)\n"
    "  --table FILE       \"UIN ANSWER\" lines, '#' comments\n"
    "  --default ANS      answer for UINs listed nowhere (default offline)\n"
    "  --mode MODE        normal (default), 404, close or slow, for every request\n"
    "  --delay-ms N       how long a slow answer waits (default 5000)\n"
    "  --dump DIR         write each request header to DIR/request-N.txt\n"
    "  --cert FILE        serve https with this certificate (PEM; needs --key)\n"
    "  --key FILE         the certificate's private key (PEM)\n"
    "ANSWER: online | offline | unknown | a picture size in bytes | 404 | close | slow\n";

int Usage(const char* Problem) {
  if (Problem != nullptr) std::fprintf(stderr, "vantrel-status-service: %s\n", Problem);
  std::fputs(kUsage, stderr);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  TStatusTable Table;
  TServiceOptions Options;
  std::string PortFile;
  for (int I = 1; I < argc; ++I) {
    const std::string Arg = argv[I];
    if (Arg == "--help" || Arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (I + 1 >= argc) return Usage(("missing value after " + Arg).c_str());
    const std::string Value = argv[++I];
    if (Arg == "--address") {
      Options.Address = Value;
    } else if (Arg == "--port") {
      Options.Port = Value;
    } else if (Arg == "--port-file") {
      PortFile = Value;
    } else if (Arg == "--status") {
      if (!Table.AddOption(Value)) return Usage(("bad --status " + Value).c_str());
    } else if (Arg == "--table") {
      std::string Error;
      if (!Table.LoadFile(Value, Error)) return Usage(Error.c_str());
    } else if (Arg == "--default") {
      const auto Answer = ParseAnswer(Value);
      if (!Answer) return Usage(("bad --default " + Value).c_str());
      Table.SetDefault(*Answer);
    } else if (Arg == "--mode") {
      if (Value == "normal") {
        Options.ForcedAnswer.reset();
      } else if (Value == "404" || Value == "close" || Value == "slow") {
        Options.ForcedAnswer = ParseAnswer(Value);
      } else {
        return Usage(("bad --mode " + Value).c_str());
      }
    } else if (Arg == "--delay-ms") {
      try {
        Options.SlowDelayMs = std::stoi(Value);
      } catch (const std::exception&) {
        return Usage(("bad --delay-ms " + Value).c_str());
      }
      if (Options.SlowDelayMs < 0) return Usage("--delay-ms must not be negative");
    } else if (Arg == "--dump") {
      Options.DumpDir = Value;
    } else if (Arg == "--cert") {
      Options.CertFile = Value;
    } else if (Arg == "--key") {
      Options.KeyFile = Value;
    } else {
      return Usage(("unknown option " + Arg).c_str());
    }
  }

  if (Options.CertFile.empty() != Options.KeyFile.empty())
    return Usage("--cert and --key go together");
  for (const std::string* File : {&Options.CertFile, &Options.KeyFile}) {
    if (!File->empty() && !std::ifstream(*File)) return Usage(("cannot read " + *File).c_str());
  }

  PrepareServiceProcess();
  try {
    TStopRequests StopRequests;
    TStatusService Service(std::move(Table), Options);
    Service.Start();
    const std::string Port = Service.BoundPort();
    if (!PortFile.empty()) {
      // Written whole under another name first: a reader never sees half a port number.
      const std::string Temp = PortFile + ".tmp";
      std::ofstream(Temp) << Port << "\n";
      MoveIntoPlace(Temp, PortFile);
    }
    std::printf("vantrel-status-service: listening on %s:%s\n", Options.Address.c_str(),
                Port.c_str());
    std::fflush(stdout);
    while (!Application().Terminated()) {
      Application().ProcessMessages();
      if (!Application().Terminated()) Application().WaitForMessages();
    }
    std::printf("vantrel-status-service: answered %llu requests\n",
                static_cast<unsigned long long>(Service.RequestsAnswered()));
  } catch (const std::exception& E) {
    std::fprintf(stderr, "vantrel-status-service: %s\n", E.what());
    return 1;
  }
  return 0;
}
