// A client in blocking style: RunAndWait connects, then each line is sent and its answer awaited,
// one after the other, with no event loop of its own. Events still do the work underneath: the
// handlers only record what arrived and set the flag that the wait is for.
//
//   sync_client [-e] host port [line ...]
//     -e   the server echoes each line before it answers (as line_server does): skip the copy
//
// It prints the server's first line (its greeting), then the answer to each line, for example
// `sync_client -e localhost 7008 hello "second line" quit` against line_server. Every wait is
// bounded: after 10 seconds without an end the waits are abandoned.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "WSocket.h"
#include "WinMessages.h"

using namespace vantrel;

namespace {

constexpr auto TimeLimit = std::chrono::seconds(10);

// Posts a quit message to the main thread once the time limit has passed, which makes the waits
// return SyncWaitAbandoned; stopped by destruction.
class TDeadline {
 public:
  explicit TDeadline(DWORD Thread)
      : Thread_([this, Thread] {
          std::unique_lock Lock(Mutex_);
          if (!Stop_.wait_for(Lock, TimeLimit, [this] { return Stopped_; })) {
            PostThreadMessage(Thread, WM_QUIT, 0, 0);
          }
        }) {}
  ~TDeadline() {
    {
      std::lock_guard Lock(Mutex_);
      Stopped_ = true;
    }
    Stop_.notify_one();
    Thread_.join();
  }
  TDeadline(const TDeadline&) = delete;
  TDeadline& operator=(const TDeadline&) = delete;

 private:
  std::mutex Mutex_;
  std::condition_variable Stop_;
  bool Stopped_ = false;
  std::thread Thread_;  // last: starts once the members it uses exist
};

class TLineClient {
 public:
  TLineClient() {
    Socket_.SetLineMode(true);
    Socket_.OnSessionConnected = [this](TObject*, std::uint16_t Error) {
      ConnectError_ = Error;
      Connected_ = true;
    };
    Socket_.OnDataAvailable = [this](TObject*, std::uint16_t) {
      Lines_.push_back(Socket_.ReadText());
      LineWaiting_ = true;
    };
    Socket_.OnSessionClosed = [this](TObject*, std::uint16_t) {
      Closed_ = true;
      LineWaiting_ = true;  // nothing more will come: wake the waiting reader
    };
  }

  // Blocks until connected; the error text, or "" on success.
  std::string Connect(const std::string& Host, const std::string& Port) {
    Socket_.SetAddr(Host);
    Socket_.SetPort(Port);
    if (Socket_.RunAndWait([this] { Socket_.Connect(); }, Connected_) != SyncWaitDone) {
      return "timed out";
    }
    return ConnectError_ == 0 ? "" : SocketErrorText(ConnectError_);
  }

  // Blocks until the next line has arrived; false when the connection ended or time ran out.
  bool ReadLine(std::string& Line) {
    if (Lines_.empty() && !Closed_) {
      LineWaiting_ = false;
      if (Socket_.WaitForFlag(LineWaiting_) != SyncWaitDone) return false;
    }
    if (Lines_.empty()) return false;
    Line = Lines_.front();
    Lines_.pop_front();
    return true;
  }

  void SendLine(const std::string& Line) { Socket_.SendText(Line + "\r\n"); }
  void Close() { Socket_.CloseSession(); }

 private:
  bool Connected_ = false;
  std::uint16_t ConnectError_ = 0;
  bool LineWaiting_ = false;
  bool Closed_ = false;
  std::deque<std::string> Lines_;
  TWSocket Socket_{nullptr};  // last: destroyed first, while the handlers' fields exist
};

}  // namespace

int main(int argc, char** argv) {
  int Arg = 1;
  const bool Echoing = argc > 1 && std::string(argv[1]) == "-e";
  if (Echoing) ++Arg;
  if (argc - Arg < 2) {
    std::fprintf(stderr, "usage: sync_client [-e] host port [line ...]\n");
    return 2;
  }
  try {
    TDeadline Deadline(GetCurrentThreadId());
    TLineClient Client;
    const std::string Error = Client.Connect(argv[Arg], argv[Arg + 1]);
    if (!Error.empty()) {
      std::fprintf(stderr, "sync_client: cannot connect: %s\n", Error.c_str());
      return 1;
    }
    std::string Line;
    if (Client.ReadLine(Line)) std::printf("%s", Line.c_str());
    for (int I = Arg + 2; I < argc; ++I) {
      Client.SendLine(argv[I]);
      const bool Answered =
          Echoing ? Client.ReadLine(Line) && Client.ReadLine(Line) : Client.ReadLine(Line);
      if (!Answered) {
        std::fprintf(stderr, "sync_client: no answer to \"%s\"\n", argv[I]);
        return 1;
      }
      std::printf("%s", Line.c_str());
    }
    Client.Close();
  } catch (const std::exception& E) {
    std::fprintf(stderr, "sync_client: %s\n", E.what());
    return 1;
  }
  return 0;
}
