// The loopback harness shared by the fuzz targets that play a peer on raw POSIX sockets against
// a real TWSocket: a descriptor owner, the descriptor count, the peer's listening socket and the
// message pump. Each target defines Fail() with its own name.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "UniqueFd.h"
#include "WinMessages.h"

namespace fuzzloop {

// Reports a broken rule and stops the run (libFuzzer keeps the input).
[[noreturn]] void Fail(const char* Why);

// Owns one descriptor.
using Fd = vantrel::UniqueFd;

inline int OpenDescriptors() {
  int Count = 0;
  if (DIR* Dir = opendir("/proc/self/fd")) {
    while (readdir(Dir) != nullptr) ++Count;
    closedir(Dir);
  }
  return Count;
}

// The played peer's listening socket, on a free port of 127.0.0.1, for the whole run.
struct Listener {
  Listener() : Socket(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof Addr;
    if (Socket.Get() < 0 || bind(Socket.Get(), reinterpret_cast<sockaddr*>(&Addr), Len) != 0 ||
        listen(Socket.Get(), 8) != 0 ||
        getsockname(Socket.Get(), reinterpret_cast<sockaddr*>(&Addr), &Len) != 0) {
      Fail("cannot listen on 127.0.0.1");
    }
    Port = ntohs(Addr.sin_port);
  }
  Fd Socket;
  std::uint16_t Port = 0;
};

inline Listener& TheListener() {
  static Listener L;
  return L;
}

// Takes the connection the client under test has started (within 2 s), non-blocking.
inline int AcceptClient() {
  pollfd Wait{TheListener().Socket.Get(), POLLIN, 0};
  if (poll(&Wait, 1, 2000) != 1) Fail("the client did not connect");
  const int Peer =
      accept4(TheListener().Socket.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (Peer < 0) Fail("accept failed");
  return Peer;
}

// Reads and drops what the client has sent so far.
inline void DrainPeer(int Peer) {
  char Buffer[4096];
  while (recv(Peer, Buffer, sizeof Buffer, MSG_DONTWAIT) > 0) {
  }
}

// Runs this thread's messages (socket notices included) once.
inline void RunMessages() {
  vantrel::MSG Msg;
  while (vantrel::PeekMessage(&Msg, nullptr, 0, 0, vantrel::PM_REMOVE)) {
    if (Msg.message == vantrel::WM_QUIT) continue;
    vantrel::TranslateMessage(&Msg);
    vantrel::DispatchMessage(&Msg);
  }
}

// Runs messages until Done() or Ms milliseconds pass; returns Done().
template <typename Predicate>
bool RunUntil(Predicate Done, int Ms) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
  while (!Done()) {
    if (std::chrono::steady_clock::now() >= Deadline) return false;
    RunMessages();
  }
  return true;
}

}  // namespace fuzzloop
