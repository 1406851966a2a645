// A TCP echo server: one listening TWSocket, and one TWSocket per client that sends back every
// byte it receives.
//
//   echo_server [port]        (default 7007; stop it with Ctrl-C)
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Application.h"
#include "WSocket.h"

using namespace vantrel;

namespace {

class TEchoServer {
 public:
  explicit TEchoServer(const std::string& Port) {
    Listener_.OnSessionAvailable = [this](TObject*, std::uint16_t Error) { Accept(Error); };
    Listener_.SetAddr("0.0.0.0");
    Listener_.SetPort(Port);
    Listener_.Listen();  // raises ESocketException when the port is taken
    std::printf("echo server listening on port %s\n", Listener_.GetBoundPort().c_str());
  }

  // Clients are destroyed here, between two loop turns, never inside their own events.
  void FreeClosedClients() {
    std::erase_if(Clients_, [](const std::unique_ptr<TWSocket>& Client) {
      return Client->State() == wsClosed;
    });
  }

 private:
  void Accept(std::uint16_t Error) {
    if (Error != 0) return;
    const SOCKET Handle = Listener_.Accept();
    if (Handle == INVALID_SOCKET) return;
    auto Client = std::make_unique<TWSocket>(nullptr);
    TWSocket* Raw = Client.get();
    Raw->OnDataAvailable = [Raw](TObject*, std::uint16_t) { Raw->SendText(Raw->ReadText()); };
    Raw->Dup(Handle);
    // The peer's address is taken now: a reset connection cannot be asked any more.
    const std::string Peer = Raw->PeerAddr() + ":" + Raw->PeerPort();
    Raw->OnSessionClosed = [Peer](TObject*, std::uint16_t Error) {
      std::printf("client %s left (error %u)\n", Peer.c_str(), Error);
    };
    std::printf("client %s joined\n", Peer.c_str());
    Clients_.push_back(std::move(Client));
  }

  TWSocket Listener_{nullptr};
  std::vector<std::unique_ptr<TWSocket>> Clients_;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    TEchoServer Server(argc > 1 ? argv[1] : "7007");
    std::fflush(stdout);
    while (!Application().Terminated()) {
      Application().ProcessMessages();
      Server.FreeClosedClients();
      std::fflush(stdout);
      Application().WaitForMessages();
    }
  } catch (const std::exception& E) {
    std::fprintf(stderr, "echo_server: %s\n", E.what());
    return 1;
  }
  return 0;
}
