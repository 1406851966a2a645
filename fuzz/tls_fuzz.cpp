// libFuzzer target: a real TWSocket runs the client's TLS handshake against a server played from
// the input on a loopback connection.
//
// Input: byte 0 chooses the run (bit 0: the peer's certificate is checked against the system's
// trust store; bit 1: the server ends with a reset instead of an orderly close; bit 2: the
// application sends a request once connected; bit 3: line mode). The rest is the server's bytes
// as chunks, each a length byte followed by that many bytes (fewer at the end of the input);
// every chunk is written on its own and taken in by the client before the next one, so that the
// records are cut wherever the input says.
//
// Whatever the bytes, the component must not crash or hang, must report a handshake that did
// not complete with an error, must end closed once the server has gone away, and must leave no
// descriptor behind; the sanitizers report the rest (OpenSSL's objects included).
//
// No WinSock.h here: this file talks to the peer through the POSIX socket headers.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
  std::fprintf(stderr, "tls_fuzz: %s\n", Why);
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
  const std::uint8_t Mode = Data[0];
  ++Data;
  --Size;

  auto Socket = std::make_unique<TWSocket>(nullptr);
  TWSocket& S = *Socket;
  int Connected = -1;
  int Handshake = -1;
  S.OnSessionClosed = [](TObject*, std::uint16_t) {};
  S.OnSslHandshakeDone = [&](TObject*, std::uint16_t Error) {
    if (Handshake >= 0) Fail("the handshake ended twice");
    Handshake = Error;
  };
  S.OnSessionConnected = [&](TObject*, std::uint16_t Error) {
    if (Connected >= 0) Fail("connected twice");
    Connected = Error;
    if (Error != 0 && S.SslErrorText().empty() && Error > 20000) Fail("a TLS error without text");
    if (Error == 0 && (Mode & 4) != 0) S.SendText("GET / HTTP/1.0\r\n\r\n");
  };
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char Buffer[256];
    while (S.ReadData(Buffer, sizeof Buffer) > 0) {
    }
  };
  S.SetSslEnable(true);
  S.SetSslVerifyPeer((Mode & 1) != 0);
  S.SetSslServerName("a.test");
  S.SetLineMode((Mode & 8) != 0);
  S.SetAddr("127.0.0.1");
  S.SetPort(std::to_string(TheListener().Port));
  S.Connect();

  Fd Peer(fuzzloop::AcceptClient());
  // The client hello is on its way before the first chunk.
  RunUntil([&] { return S.State() != vantrel::wsConnecting; }, 1000);

  std::size_t Pos = 0;
  while (Pos < Size && S.State() != vantrel::wsClosed) {
    std::size_t Len = Data[Pos++];
    if (Len > Size - Pos) Len = Size - Pos;
    DrainPeer(Peer.Get());
    if (Len > 0 && send(Peer.Get(), Data + Pos, Len, MSG_NOSIGNAL) < 0) break;
    Pos += Len;
    // Long enough for the client to take the chunk in; it may hold it waiting for more.
    RunUntil([&] { return S.State() == vantrel::wsClosed; }, 5);
  }

  DrainPeer(Peer.Get());
  if ((Mode & 2) != 0) {
    linger Abort{1, 0};
    setsockopt(Peer.Get(), SOL_SOCKET, SO_LINGER, &Abort, sizeof Abort);
  }
  Peer.Reset();
  if (!RunUntil([&] { return S.State() == vantrel::wsClosed; }, 3000)) {
    Fail("still open after the server went away");
  }
  // Random bytes cannot finish a handshake: the client heard why.
  if (Connected == 0 || Connected < 0 || Handshake != Connected) {
    Fail("the handshake's end was not reported as a failure");
  }
  Socket.reset();
  RunMessages();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheListener();
  RunMessages();
  const std::uint8_t Warmup[] = {0, 7, 0x15, 3, 3, 0, 2, 2, 40};
  Play(Warmup, sizeof Warmup);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const int Before = OpenDescriptors();
  Play(Data, Size);
  if (OpenDescriptors() != Before) Fail("a descriptor was left open");
  return 0;
}
