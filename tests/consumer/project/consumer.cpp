// Fetches a document from a server on a loopback port, both written with the installed headers.
// Exit code 0 only when the document arrived intact.
#include <vantrel/Application.h>
#include <vantrel/HttpProt.h>
#include <vantrel/WSocket.h>

#include <cstdio>
#include <memory>
#include <string>

using namespace vantrel;

int main() {
  const std::string Body = "installed and found\n";
  TWSocket Listener(nullptr);
  std::unique_ptr<TWSocket> Session;
  std::string Request;
  Listener.OnSessionAvailable = [&](TObject*, std::uint16_t) {
    Session = std::make_unique<TWSocket>(nullptr);
    Session->OnDataAvailable = [&](TObject*, std::uint16_t) {
      Request += Session->ReadText();
      if (Request.find("\r\n\r\n") == std::string::npos) return;
      Session->SendText("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(Body.size()) +
                        "\r\n\r\n" + Body);
      Session->CloseSession();
    };
    Session->Dup(Listener.Accept());
  };
  Listener.SetAddr("127.0.0.1");
  Listener.SetPort("0");
  Listener.Listen();

  try {
    THttpCli Client(nullptr);
    TMemoryStream Received;
    Client.SetURL("http://127.0.0.1:" + Listener.GetBoundPort() + "/doc");
    Client.SetTimeLimit(20000);
    Client.SetReceiveStream(&Received);
    Client.GetDocument();
    if (Client.ResponseCode() != 200 || Received.AsString() != Body ||
        Request.rfind("GET /doc HTTP/1.0\r\n", 0) != 0) {
      std::fprintf(stderr, "consumer: got %d \"%s\" for request \"%s\"\n", Client.ResponseCode(),
                   Received.AsString().c_str(), Request.c_str());
      return 1;
    }
  } catch (const std::exception& E) {
    std::fprintf(stderr, "consumer: %s\n", E.what());
    return 1;
  }
  std::printf("consumer: fetched %zu bytes\n", Body.size());
  return 0;
}
