// libFuzzer target: a real TWSocket negotiates through a SOCKS server played from the input on a
// loopback connection, for each version (4, 4A, 5 without and with user name and password).
//
// Input: byte 0 chooses the run (bits 0-1: 5, 5 with user name and password, 4, 4A; bit 2: the
// server ends with a reset instead of an orderly close; bit 3: the application sends a request
// once connected). The rest is the server's bytes as chunks, each a length byte followed by that
// many bytes (fewer at the end of the input); every chunk is written on its own and taken in by
// the client before the next one, so that the replies are cut wherever the input says.
//
// Whatever the bytes, the component must not crash, must end closed once the server has gone
// away, and must leave no descriptor behind; the sanitizers report the rest.
//
// No WinSock.h here: this file talks to the peer through the POSIX socket headers.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzLoopback.h"
#include "WSocket.h"
#include "WinMessages.h"

[[noreturn]] void fuzzloop::Fail(const char* Why) {
  std::fprintf(stderr, "socks_fuzz: %s\n", Why);
  std::abort();
}

namespace {

using vantrel::TObject;
using vantrel::TWSocket;

using fuzzloop::DrainPeer;
using fuzzloop::Fail;
using fuzzloop::Fd;
using fuzzloop::OpenDescriptors;
using fuzzloop::RunMessages;
using fuzzloop::RunUntil;
using fuzzloop::TheListener;

void Play(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return;
  static const char* const Levels[] = {"5", "5", "4", "4A"};
  const std::uint8_t Mode = Data[0];
  const int Run = Mode & 3;
  const bool EndWithReset = (Mode & 4) != 0;
  const bool SendOnConnect = (Mode & 8) != 0;
  ++Data;
  --Size;

  auto Socket = std::make_unique<TWSocket>(nullptr);
  TWSocket& S = *Socket;
  S.OnSessionClosed = [](TObject*, std::uint16_t) {};
  S.OnSessionConnected = [&](TObject*, std::uint16_t Error) {
    if (Error == 0 && SendOnConnect) S.SendText("GET / HTTP/1.0\r\n\r\n");
  };
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char Buffer[256];
    while (S.ReadData(Buffer, sizeof Buffer) > 0) {
    }
  };
  S.OnSocksError = [](TObject*, std::int32_t Error, const std::string& Msg) {
    if (Error == 0 || Msg.empty()) Fail("a SOCKS error without code or text");
  };
  S.OnSocksAuthState = [](TObject*, vantrel::TSocksAuthState) {};

  S.SetSocksServer("127.0.0.1");
  S.SetSocksPort(std::to_string(TheListener().Port));
  S.SetSocksLevel(Levels[Run]);
  if (Run == 1) S.SetSocksAuthentication(vantrel::socksAuthenticateUsercode);
  S.SetSocksUsercode("user");
  S.SetSocksPassword("secret");
  S.SetAddr(Run == 2 ? "127.0.0.1" : "example.org");
  S.SetPort("80");
  S.Connect();

  Fd Peer(fuzzloop::AcceptClient());

  // The client reaches wsConnected (and sends its first message) before the first chunk.
  RunUntil([&] { return S.State() != vantrel::wsConnecting; }, 1000);

  std::size_t Pos = 0;
  while (Pos < Size && S.State() != vantrel::wsClosed) {
    std::size_t Len = Data[Pos++];
    if (Len > Size - Pos) Len = Size - Pos;
    DrainPeer(Peer.Get());
    if (Len > 0 && send(Peer.Get(), Data + Pos, Len, MSG_NOSIGNAL) < 0) break;
    Pos += Len;
    // Let the client take this chunk in before the next one is written.
    RunUntil(
        [&] {
          if (S.State() == vantrel::wsClosed) return true;
          try {
            return S.RcvdCount() == 0;
          } catch (const std::exception&) {
            return true;
          }
        },
        200);
    RunMessages();
  }

  DrainPeer(Peer.Get());
  if (EndWithReset) {
    linger Abort{1, 0};
    setsockopt(Peer.Get(), SOL_SOCKET, SO_LINGER, &Abort, sizeof Abort);
  }
  Peer.Reset();
  if (!RunUntil([&] { return S.State() == vantrel::wsClosed; }, 3000)) {
    Fail("still open after the server went away");
  }
  Socket.reset();
  RunMessages();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The thread's queue and the listener exist before the descriptor counts start.
  TheListener();
  RunMessages();
  const std::uint8_t Warmup[] = {0, 2, 5, 0};
  Play(Warmup, sizeof Warmup);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const int Before = OpenDescriptors();
  Play(Data, Size);
  if (OpenDescriptors() != Before) Fail("a descriptor was left open");
  return 0;
}
