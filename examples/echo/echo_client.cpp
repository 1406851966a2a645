// A TCP echo client: connects, sends its lines, prints what comes back and closes once every
// byte has returned.
//
//   echo_client host port [line ...]     (without lines, they are read from standard input)
#include <cstdio>
#include <iostream>
#include <string>

#include "Application.h"
#include "WSocket.h"

using namespace vantrel;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: echo_client host port [line ...]\n");
    return 2;
  }
  std::string Text;
  if (argc > 3) {
    for (int I = 3; I < argc; ++I) Text += std::string(argv[I]) + "\n";
  } else {
    for (std::string Line; std::getline(std::cin, Line);) Text += Line + "\n";
  }

  int ExitCode = 0;
  bool Connected = false;
  std::size_t Received = 0;
  TWSocket Client(nullptr);
  Client.OnSessionConnected = [&](TObject*, std::uint16_t Error) {
    if (Error != 0) {
      std::fprintf(stderr, "echo_client: %s\n", SocketErrorText(Error).c_str());
      ExitCode = 1;
      Application().Terminate();
      return;
    }
    Connected = true;
    if (Text.empty()) {
      Client.CloseSession();
      return;
    }
    Client.SendText(Text);
  };
  Client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    const std::string Echo = Client.ReadText();
    std::fwrite(Echo.data(), 1, Echo.size(), stdout);
    Received += Echo.size();
    if (Received >= Text.size()) Client.CloseSession();
  };
  Client.OnSessionClosed = [&](TObject*, std::uint16_t Error) {
    if (Connected && Received < Text.size()) {
      std::fprintf(stderr, "echo_client: connection closed early (error %u)\n", Error);
      ExitCode = 1;
    }
    Application().Terminate();
  };

  try {
    Client.SetAddr(argv[1]);
    Client.SetPort(argv[2]);
    Client.Connect();
    while (!Application().Terminated()) {
      Application().ProcessMessages();
      if (!Application().Terminated()) Application().WaitForMessages();
    }
  } catch (const std::exception& E) {
    std::fprintf(stderr, "echo_client: %s\n", E.what());
    return 1;
  }
  std::fflush(stdout);
  return ExitCode;
}
