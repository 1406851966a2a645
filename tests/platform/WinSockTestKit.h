// Helpers for the socket layer tests (header only; every *_test.cpp here is one binary): a
// window that records what it is sent, bounded message pumping, socket owners and loopback
// connections made with the emulation itself.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LeakCheck.h"
#include "WinMessages.h"
#include "WinSock.h"

namespace vantrel::wstest {

namespace ws = vantrel::wsock32;

constexpr UINT kSocketMsg = WM_USER + 1;

// A hidden window of the calling thread that records every message it is sent.
class RecordingWindow {
 public:
  RecordingWindow() {
    static const char* kClass = "VantrelTestRecorder";
    if (!GetClassInfo(ProgramInstance(), kClass, nullptr)) {
      WNDCLASS wc;
      wc.lpfnWndProc = &RecordingWindow::Proc;
      wc.cbWndExtra = sizeof(LONG_PTR);
      wc.hInstance = ProgramInstance();
      wc.lpszClassName = kClass;
      RegisterClass(&wc);
    }
    hwnd_ = CreateWindowEx(WS_EX_TOOLWINDOW, kClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           ProgramInstance(), nullptr);
    SetWindowLongPtr(hwnd_, 0, reinterpret_cast<LONG_PTR>(this));
  }
  ~RecordingWindow() { Destroy(); }
  RecordingWindow(const RecordingWindow&) = delete;
  RecordingWindow& operator=(const RecordingWindow&) = delete;

  HWND Handle() const { return hwnd_; }
  void Destroy() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    hwnd_ = nullptr;
  }

  // lParams of the socket messages received for s, in order.
  std::vector<LPARAM> Events(SOCKET s) const {
    std::vector<LPARAM> out;
    for (const auto& m : messages)
      if (m.message == kSocketMsg && m.wParam == s) out.push_back(m.lParam);
    return out;
  }
  int Count(SOCKET s, long event) const {
    int n = 0;
    for (LPARAM l : Events(s)) n += WSAGetSelectEvent(l) == event;
    return n;
  }

  std::vector<MSG> messages;
  // Runs for each recorded message, inside its dispatch.
  std::function<void(const MSG&)> OnRecorded;

 private:
  static LRESULT Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<RecordingWindow*>(GetWindowLongPtr(hwnd, 0));
    if (self != nullptr && msg >= WM_USER) {
      self->messages.push_back(MSG{hwnd, msg, wParam, lParam});
      if (self->OnRecorded) self->OnRecorded(self->messages.back());
    }
    return DefWindowProc(hwnd, msg, wParam, lParam);
  }

  HWND hwnd_ = nullptr;
};

// Dispatches the calling thread's messages (socket readiness included) until pred() holds or
// limitMs passes. Returns pred().
inline bool PumpUntil(const std::function<bool()>& pred, int limitMs = 3000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    MSG m;
    while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&m);
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Dispatches messages for ms milliseconds: long enough for loopback to settle.
inline void Pump(int ms = 100) {
  PumpUntil([] { return false; }, ms);
}

// Owns a socket handle and closes it.
class Socket {
 public:
  explicit Socket(SOCKET s = INVALID_SOCKET) : s_(s) {}
  Socket(Socket&& o) noexcept : s_(std::exchange(o.s_, INVALID_SOCKET)) {}
  Socket& operator=(Socket&& o) noexcept {
    if (this != &o) {
      Close();
      s_ = std::exchange(o.s_, INVALID_SOCKET);
    }
    return *this;
  }
  ~Socket() { Close(); }
  SOCKET get() const { return s_; }
  operator SOCKET() const { return s_; }
  void Close() {
    if (s_ != INVALID_SOCKET) ws::closesocket(s_);
    s_ = INVALID_SOCKET;
  }

 private:
  SOCKET s_;
};

inline SOCKADDR_IN Loopback(u_short port) {
  SOCKADDR_IN a;
  a.sin_family = AF_INET;
  a.sin_port = ws::htons(port);
  a.sin_addr.S_addr = ws::inet_addr("127.0.0.1");
  return a;
}

inline const SOCKADDR* Sa(const SOCKADDR_IN& a) {
  return reinterpret_cast<const SOCKADDR*>(&a);
}

inline u_short LocalPort(SOCKET s) {
  SOCKADDR_IN a;
  int len = sizeof a;
  if (ws::getsockname(s, reinterpret_cast<SOCKADDR*>(&a), &len) != 0) return 0;
  return ws::ntohs(a.sin_port);
}

// A stream socket listening on 127.0.0.1 at a port of the system's choosing.
inline Socket Listener(u_short* port) {
  Socket l(ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  SOCKADDR_IN a = Loopback(0);
  EXPECT_EQ(0, ws::bind(l, Sa(a), sizeof a));
  EXPECT_EQ(0, ws::listen(l, 5));
  *port = LocalPort(l);
  return l;
}

// A port on 127.0.0.1 where nobody listens (bound, never listening, so nobody else takes it).
inline Socket RefusingPort(u_short* port) {
  Socket s(ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  SOCKADDR_IN a = Loopback(0);
  EXPECT_EQ(0, ws::bind(s, Sa(a), sizeof a));
  *port = LocalPort(s);
  return s;
}

// Calls accept until a connection comes, for up to limitMs.
inline Socket AcceptWithin(SOCKET listener, int limitMs = 3000) {
  SOCKET s = INVALID_SOCKET;
  PumpUntil(
      [&] {
        s = ws::accept(listener, nullptr, nullptr);
        return s != INVALID_SOCKET;
      },
      limitMs);
  return Socket(s);
}

struct Pair {
  Socket client;
  Socket server;
};

// A connected loopback pair made with the emulation, neither side registered.
inline Pair ConnectedPair() {
  u_short port = 0;
  Socket listener = Listener(&port);
  Pair p{Socket(ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)), Socket()};
  SOCKADDR_IN a = Loopback(port);
  EXPECT_EQ(SOCKET_ERROR, ws::connect(p.client, Sa(a), sizeof a));
  EXPECT_EQ(WSAEWOULDBLOCK, ws::WSAGetLastError());
  p.server = AcceptWithin(listener);
  // The client's connect has completed once its peer name is known.
  PumpUntil([&] {
    SOCKADDR_IN peer;
    int len = sizeof peer;
    return ws::getpeername(p.client, reinterpret_cast<SOCKADDR*>(&peer), &len) == 0;
  });
  return p;
}

// Sends all of data, retrying while the socket would block, for up to limitMs.
inline bool SendAll(SOCKET s, const std::string& data, int limitMs = 3000) {
  std::size_t sent = 0;
  PumpUntil(
      [&] {
        int n = ws::send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n > 0) sent += n;
        return sent == data.size();
      },
      limitMs);
  return sent == data.size();
}

// Receives until n bytes came, the stream ended or limitMs passed.
inline std::string RecvAll(SOCKET s, std::size_t n, int limitMs = 3000) {
  std::string out;
  char buf[4096];
  PumpUntil(
      [&] {
        int r = ws::recv(s, buf, sizeof buf, 0);
        if (r > 0) out.append(buf, r);
        return out.size() >= n || r == 0;
      },
      limitMs);
  return out;
}

// Each test starts the layer and ends with no socket, descriptor or window left open.
class WinSockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSG m;
    PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue exists before counting
    WSADATA data;
    ASSERT_EQ(0, ws::WSAStartup(0x0101, &data));
    sockets_ = ws::OpenSocketCount();
    descriptors_ = test::OpenDescriptorCount();
    windows_ = LiveWindowCount();
  }
  void TearDown() override {
    EXPECT_EQ(sockets_, ws::OpenSocketCount());
    EXPECT_EQ(descriptors_, test::OpenDescriptorCount());
    EXPECT_EQ(windows_, LiveWindowCount());
    ws::WSACleanup();
  }

 private:
  int sockets_ = 0;
  int descriptors_ = 0;
  int windows_ = 0;
};

}  // namespace vantrel::wstest
