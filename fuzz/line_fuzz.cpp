// libFuzzer target: a real TWSocket in line mode receives bytes played from the input by a peer
// on a loopback connection, cut wherever the input says, with the end marker, editing, echo and
// line limit the input chooses.
//
// Input: byte 0 chooses the run (bit 0 LineEdit, bit 1 LineEcho, bit 2 the handler reads in
// pieces of 2 bytes instead of ReadText, bit 3 a LineLimit follows, bit 4 the peer ends with a
// reset instead of an orderly close, bit 5 the handler switches line mode off after its first
// complete line, when there is no limit). Byte 1 modulo 4 is the length of LineEnd, whose bytes
// follow; then the limit byte (LineLimit = byte + 1) when bit 3 is set. The rest is the peer's
// bytes as chunks, each a length byte followed by that many bytes (fewer at the end of the input);
// every chunk is written on its own and taken in by the client before the next one.
//
// Whatever the bytes, the component must not crash and must leave no descriptor behind. Without
// editing, what the handler reads is the stream cut at every LineEnd, lines longer than the limit
// left out, the last line included (whatever the cuts), and the echo is the stream itself; with
// editing, no backspace or tab is ever delivered.
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
  std::fprintf(stderr, "line_fuzz: %s\n", Why);
  std::abort();
}

namespace {

using vantrel::TObject;
using vantrel::TWSocket;

using fuzzloop::Fail;
using fuzzloop::Fd;
using fuzzloop::OpenDescriptors;
using fuzzloop::RunMessages;
using fuzzloop::RunUntil;
using fuzzloop::TheListener;

// Appends what the client has sent back so far.
void ReadEcho(int Peer, std::string& Echo) {
  char Buffer[4096];
  for (;;) {
    const ssize_t Got = recv(Peer, Buffer, sizeof Buffer, MSG_DONTWAIT);
    if (Got <= 0) return;
    Echo.append(Buffer, static_cast<std::size_t>(Got));
  }
}

// What the handler must have read when nothing is edited: the stream cut at every marker, lines
// longer than Limit (marker included) left out, the last line without its marker at the end.
std::string ExpectedLines(const std::string& Stream, const std::string& LineEnd,
                          std::size_t Limit) {
  if (LineEnd.empty()) return Stream;
  std::string Out;
  std::size_t Start = 0;
  for (;;) {
    const std::size_t End = Stream.find(LineEnd, Start);
    if (End == std::string::npos) break;
    const std::size_t Length = End + LineEnd.size() - Start;
    if (Limit == 0 || Length <= Limit) Out.append(Stream, Start, Length);
    Start = End + LineEnd.size();
  }
  const std::size_t Rest = Stream.size() - Start;
  if (Rest > 0 && (Limit == 0 || Rest <= Limit)) Out.append(Stream, Start, Rest);
  return Out;
}

void Play(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 2) return;
  const std::uint8_t Mode = Data[0];
  const bool Edit = (Mode & 1) != 0;
  const bool Echo = (Mode & 2) != 0;
  const bool Pieces = (Mode & 4) != 0;
  const bool Limited = (Mode & 8) != 0;
  const bool EndWithReset = (Mode & 16) != 0;
  const bool SwitchOff = (Mode & 32) != 0 && !Limited;
  std::size_t Pos = 1;
  const std::size_t EndSize = Data[Pos++] % 4;
  if (Size - Pos < EndSize) return;
  const std::string LineEnd(reinterpret_cast<const char*>(Data + Pos), EndSize);
  Pos += EndSize;
  std::int32_t Limit = 0;
  if (Limited) {
    if (Pos >= Size) return;
    Limit = Data[Pos++] + 1;
  }

  auto Socket = std::make_unique<TWSocket>(nullptr);
  TWSocket& S = *Socket;
  std::string Delivered;
  std::int64_t HandlerReadData = 0;  // bytes the handler took with ReadData (ReadCount counts them)
  S.SetLineMode(true);
  S.SetLineEnd(LineEnd);
  S.SetLineEdit(Edit);
  S.SetLineEcho(Echo);
  S.SetLineLimit(Limit);
  S.OnSessionClosed = [](TObject*, std::uint16_t) {};
  S.OnLineTooLong = [&](TObject*) {
    if (Limit == 0) Fail("OnLineTooLong without a limit");
  };
  S.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (Pieces) {
      char Two[2];
      const std::int32_t Got = S.ReadData(Two, sizeof Two);
      if (Got > 0) {
        Delivered.append(Two, static_cast<std::size_t>(Got));
        HandlerReadData += Got;
      }
    } else {
      Delivered += S.ReadText();
    }
    if (SwitchOff && S.LineMode() && S.RcvdCount() == 0) S.SetLineMode(false);
  };
  S.SetAddr("127.0.0.1");
  S.SetPort(std::to_string(TheListener().Port));
  S.Connect();

  Fd Peer(fuzzloop::AcceptClient());
  if (!RunUntil([&] { return S.State() == vantrel::wsConnected; }, 1000)) {
    Fail("the connection was not reported");
  }

  std::string Stream;  // every byte the peer sent
  std::string Echoed;
  while (Pos < Size && S.State() != vantrel::wsClosed) {
    std::size_t Len = Data[Pos++];
    if (Len > Size - Pos) Len = Size - Pos;
    ReadEcho(Peer.Get(), Echoed);
    if (Len > 0 && send(Peer.Get(), Data + Pos, Len, MSG_NOSIGNAL) != static_cast<ssize_t>(Len)) {
      break;
    }
    Stream.append(reinterpret_cast<const char*>(Data + Pos), Len);
    Pos += Len;
    // Let the client take this chunk in before the next one is written: while lines are cut,
    // it reads them into its buffer (ReadCount counts that, besides the handler's ReadData).
    RunUntil(
        [&] {
          if (S.State() == vantrel::wsClosed) return true;
          if (S.LineMode() && !LineEnd.empty()) {
            return S.ReadCount() - HandlerReadData >= static_cast<std::int64_t>(Stream.size());
          }
          return S.RcvdCount() == 0;
        },
        200);
  }

  const bool Orderly = !EndWithReset;
  if (Orderly && Echo && !Edit && !SwitchOff) {
    const std::string Expected = LineEnd.empty() ? std::string() : Stream;
    RunUntil(
        [&] {
          ReadEcho(Peer.Get(), Echoed);
          return Echoed.size() >= Expected.size();
        },
        1000);
    if (Echoed != Expected) Fail("the echo differs from the bytes received");
  }
  if (EndWithReset) {
    linger Abort{1, 0};
    setsockopt(Peer.Get(), SOL_SOCKET, SO_LINGER, &Abort, sizeof Abort);
  }
  Peer.Reset();
  if (!RunUntil([&] { return S.State() == vantrel::wsClosed; }, 3000)) {
    Fail("still open after the peer went away");
  }

  if (Orderly && !Edit && !SwitchOff) {
    if (Delivered != ExpectedLines(Stream, LineEnd, static_cast<std::size_t>(Limit))) {
      Fail("the lines delivered differ from the stream cut at its markers");
    }
  }
  if (Orderly && SwitchOff && !Edit && Delivered != Stream) {
    Fail("bytes lost or reordered after line mode was switched off");
  }
  if (Edit && !SwitchOff && !LineEnd.empty() &&
      Delivered.find_first_of("\b\t") != std::string::npos) {
    Fail("an edited line still holds a backspace or a tab");
  }
  Socket.reset();
  RunMessages();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The thread's queue and the listener exist before the descriptor counts start.
  TheListener();
  RunMessages();
  const std::uint8_t Warmup[] = {2, 2, '\r', '\n', 5, 'a', 'b', '\r', '\n', 'c'};
  Play(Warmup, sizeof Warmup);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const int Before = OpenDescriptors();
  Play(Data, Size);
  if (OpenDescriptors() != Before) Fail("a descriptor was left open");
  return 0;
}
