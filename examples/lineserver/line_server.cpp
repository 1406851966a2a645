// A line-based TCP server: every client gets a TWSocket in line mode with echo and editing on,
// so that a person can talk to it from a terminal (nc or telnet). Each line is answered with its
// length and its text; "quit" ends the session.
//
//   line_server [port]        (default 7008; stop it with Ctrl-C)
//
// Editing works on the bytes as they arrive: type in a raw terminal (`stty raw -echo; nc host
// port; stty sane`) to see backspaces and tabs handled by the server's echo.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Application.h"
#include "WSocket.h"

using namespace vantrel;

namespace {

constexpr std::int32_t MaxLine = 1024;

// One connected client.
class TLineSession {
 public:
  explicit TLineSession(SOCKET Handle) {
    Socket_.SetLineMode(true);
    Socket_.SetLineEcho(true);
    Socket_.SetLineEdit(true);
    Socket_.SetLineLimit(MaxLine);
    Socket_.OnDataAvailable = [this](TObject*, std::uint16_t) { Answer(Socket_.ReadText()); };
    Socket_.OnLineTooLong = [this](TObject*) {
      Socket_.SendText("line too long (at most " + std::to_string(MaxLine) + " bytes)\r\n");
    };
    Socket_.Dup(Handle);
    Peer_ = Socket_.PeerAddr() + ":" + Socket_.PeerPort();
    Socket_.OnSessionClosed = [this](TObject*, std::uint16_t Error) {
      std::printf("%s left (error %u)\n", Peer_.c_str(), Error);
    };
    std::printf("%s joined\n", Peer_.c_str());
    Socket_.SendText("line server: type a line, \"quit\" to leave\r\n");
  }

  bool Closed() const { return Socket_.State() == wsClosed; }

 private:
  void Answer(std::string Line) {
    // Also the last line of a session, which has no end marker.
    while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r')) Line.pop_back();
    if (Line == "quit") {
      Socket_.SendText("bye\r\n");
      Socket_.CloseSession();
      return;
    }
    Socket_.SendText("got " + std::to_string(Line.size()) + " bytes: " + Line + "\r\n");
  }

  std::string Peer_;
  TWSocket Socket_{nullptr};
};

class TLineServer {
 public:
  explicit TLineServer(const std::string& Port) {
    Listener_.OnSessionAvailable = [this](TObject*, std::uint16_t Error) {
      if (Error != 0) return;
      const SOCKET Handle = Listener_.Accept();
      if (Handle == INVALID_SOCKET) return;
      // A client that could not be taken over must not stop the listener.
      try {
        Sessions_.push_back(std::make_unique<TLineSession>(Handle));
      } catch (const std::exception& E) {
        std::fprintf(stderr, "line_server: %s\n", E.what());
      }
    };
    Listener_.SetAddr("0.0.0.0");
    Listener_.SetPort(Port);
    Listener_.Listen();  // raises ESocketException when the port is taken
    std::printf("line server listening on port %s\n", Listener_.GetBoundPort().c_str());
  }

  // Sessions are destroyed here, between two loop turns, never inside their own events.
  void FreeClosedSessions() {
    std::erase_if(Sessions_, [](const std::unique_ptr<TLineSession>& S) { return S->Closed(); });
  }

 private:
  TWSocket Listener_{nullptr};
  std::vector<std::unique_ptr<TLineSession>> Sessions_;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    TLineServer Server(argc > 1 ? argv[1] : "7008");
    std::fflush(stdout);
    while (!Application().Terminated()) {
      Application().ProcessMessages();
      Server.FreeClosedSessions();
      std::fflush(stdout);
      Application().WaitForMessages();
    }
  } catch (const std::exception& E) {
    std::fprintf(stderr, "line_server: %s\n", E.what());
    return 1;
  }
  return 0;
}
