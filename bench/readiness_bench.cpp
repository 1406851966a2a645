// Readiness-to-dispatch latency of WSAAsyncSelect: a peer writes one byte, and the clock stops
// when the FD_READ message for it has been dispatched (the window procedure reads the byte,
// which re-arms FD_READ). Run with 10 and with 10,000 idle registered sockets: registration must
// cost nothing per message that grows with the number of sockets, so the second figure is
// reported against the first (counter "reference"; the ratio should stay within 1.2). The figure
// is the median round, in microseconds.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "WinMessages.h"
#include "WinSock.h"

namespace {

using namespace vantrel;
namespace ws = vantrel::wsock32;

constexpr UINT kSocketMsg = WM_USER + 1;

SOCKET measured = INVALID_SOCKET;
bool readDispatched = false;
double tenSocketsMicros = 0;

LRESULT Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kSocketMsg && wParam == measured && WSAGetSelectEvent(lParam) == FD_READ) {
    char b;
    ws::recv(measured, &b, 1, 0);
    readDispatched = true;
  }
  return DefWindowProc(hwnd, msg, wParam, lParam);
}

void DrainMessages() {
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&m);
}

bool RaiseDescriptorLimit(rlim_t wanted) {
  rlimit l{};
  if (getrlimit(RLIMIT_NOFILE, &l) != 0) return false;
  if (l.rlim_cur >= wanted) return true;
  l.rlim_cur = wanted;
  if (l.rlim_max < wanted) l.rlim_max = wanted;  // raising the hard limit needs privileges
  return setrlimit(RLIMIT_NOFILE, &l) == 0;
}

SOCKADDR_IN Loopback(u_short port) {
  SOCKADDR_IN a;
  a.sin_family = AF_INET;
  a.sin_port = ws::htons(port);
  a.sin_addr.S_addr = ws::inet_addr("127.0.0.1");
  return a;
}

// A connected loopback pair (client, server); INVALID_SOCKETs on failure.
bool MakePair(SOCKET listener, u_short port, SOCKET* client, SOCKET* server) {
  *client = ws::socket(AF_INET, SOCK_STREAM, 0);
  SOCKADDR_IN a = Loopback(port);
  ws::connect(*client, reinterpret_cast<SOCKADDR*>(&a), sizeof a);
  for (int i = 0; i < 100000; ++i) {
    *server = ws::accept(listener, nullptr, nullptr);
    if (*server != INVALID_SOCKET) return true;
  }
  return false;
}

void BM_ReadinessToDispatch(benchmark::State& state) {
  const int idle = static_cast<int>(state.range(0));
  if (!RaiseDescriptorLimit(static_cast<rlim_t>(idle) + 256)) {
    state.SkipWithError("cannot raise RLIMIT_NOFILE");
    return;
  }
  WSADATA data;
  ws::WSAStartup(0x0101, &data);
  WNDCLASS wc;
  wc.lpfnWndProc = &Proc;
  wc.hInstance = ProgramInstance();
  wc.lpszClassName = "ReadinessBench";
  RegisterClass(&wc);
  HWND hwnd = CreateWindowEx(0, "ReadinessBench", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                             ProgramInstance(), nullptr);

  SOCKET listener = ws::socket(AF_INET, SOCK_STREAM, 0);
  SOCKADDR_IN any = Loopback(0);
  ws::bind(listener, reinterpret_cast<SOCKADDR*>(&any), sizeof any);
  ws::listen(listener, 128);
  SOCKADDR_IN bound;
  int len = sizeof bound;
  ws::getsockname(listener, reinterpret_cast<SOCKADDR*>(&bound), &len);
  u_short port = ws::ntohs(bound.sin_port);

  // Idle connected sockets, every one registered, none ever ready to read.
  std::vector<SOCKET> idleSockets;
  bool ok = true;
  while (ok && static_cast<int>(idleSockets.size()) < idle) {
    SOCKET c = INVALID_SOCKET, s = INVALID_SOCKET;
    ok = MakePair(listener, port, &c, &s);
    idleSockets.push_back(c);
    idleSockets.push_back(s);
  }
  if (static_cast<int>(idleSockets.size()) > idle) {
    ws::closesocket(idleSockets.back());
    idleSockets.pop_back();
  }
  for (SOCKET s : idleSockets)
    ok = ok && ws::WSAAsyncSelect(s, hwnd, kSocketMsg, FD_READ | FD_WRITE | FD_CLOSE) == 0;

  SOCKET peer = INVALID_SOCKET, ours = INVALID_SOCKET;
  ok = ok && MakePair(listener, port, &peer, &ours);
  measured = ours;
  ok = ok && ws::WSAAsyncSelect(ours, hwnd, kSocketMsg, FD_READ | FD_CLOSE) == 0;
  for (int i = 0; i < 50; ++i) DrainMessages();  // the registrations' FD_WRITEs
  if (!ok) state.SkipWithError("could not set up the sockets");

  // Each round is timed on its own and the median is the figure: on a shared machine a few
  // rounds lose the processor, which would swamp a mean.
  std::vector<double> rounds;
  rounds.reserve(1 << 16);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    readDispatched = false;
    ws::send(peer, "x", 1, 0);
    while (!readDispatched) DrainMessages();
    std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    rounds.push_back(spent.count());
  }
  if (!rounds.empty()) {
    std::nth_element(rounds.begin(), rounds.begin() + rounds.size() / 2, rounds.end());
    double median = rounds[rounds.size() / 2];
    state.counters["figure"] = median;
    state.SetLabel("us");
    // The 10-socket run comes first; its median is the reference of the larger run.
    if (idle == 10) {
      tenSocketsMicros = median;
    } else if (tenSocketsMicros > 0) {
      state.counters["reference"] = tenSocketsMicros;
    }
  }
  state.counters["sockets"] = idle;
  for (SOCKET s : idleSockets) ws::closesocket(s);
  ws::closesocket(peer);
  ws::closesocket(ours);
  ws::closesocket(listener);
  DrainMessages();
  DestroyWindow(hwnd);
  UnregisterClass("ReadinessBench", ProgramInstance());
  ws::WSACleanup();
}

BENCHMARK(BM_ReadinessToDispatch)
    ->Arg(10)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
