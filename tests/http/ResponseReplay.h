// This is an internal header of the HTTP client tests and fuzz targets.
// Replays a scripted response, given as bytes, against a real THttpCli over loopback TCP: the
// script says which bytes the server sends in which pieces, and when it closes or resets the
// connection. The fuzz target feeds it arbitrary bytes; regression tests replay saved inputs.
//
// Script format (every byte string is valid):
//   byte 0            options: bits 0-1 request kind (0 GET, 1 HEAD, 2 POST, 3 GET),
//                     bit 2 through a proxy URL instead of a plain path
//   then, repeated:   0x00-0x3F h, l: a piece of ((h << 8) | l) + 1 bytes (cut at the end)
//                     0x40: end the connection (orderly); 0x41: reset it
//                     0x42-0xFF h: a piece of (h & 0x3F) + 1 bytes
// At the end of the script the connection is ended; later connections (relocations) are
// accepted and closed at once. Every connection goes to the replay's own listener: the client
// always uses it as its proxy, so no relocation can lead anywhere else.
//
// Include only in files that do not include WinSock.h (this header uses the POSIX sockets).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "Application.h"
#include "HttpProt.h"

namespace vantrel::test {

struct ReplayOutcome {
  bool ended = false;     // the request reached hsIdle with OnRequestDone
  bool timedOut = false;  // the client's time limit ended it: the response could not
  int doneCount = 0;
  std::uint16_t doneError = 0;
  int responseCode = 0;
  int failureCode = 0;
  std::string document;   // what reached the receive stream
  std::string delivered;  // what OnDocData delivered
};

class ResponseReplay {
 public:
  ResponseReplay() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 16) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      if (listen_ >= 0) ::close(listen_);
      listen_ = -1;
      return;
    }
    port_ = ntohs(a.sin_port);
  }
  ~ResponseReplay() {
    if (listen_ >= 0) ::close(listen_);
  }
  ResponseReplay(const ResponseReplay&) = delete;
  ResponseReplay& operator=(const ResponseReplay&) = delete;

  bool Ready() const { return listen_ >= 0; }

  // Plays the script; the client's time limit (ms) bounds a request that would not end.
  ReplayOutcome Play(const std::uint8_t* data, std::size_t size, int timeLimitMs = 5000) {
    ReplayOutcome out;
    if (!Ready()) return out;
    const std::uint8_t options = size > 0 ? data[0] : 0;
    std::size_t pos = size > 0 ? 1 : 0;
    static const THttpRequest kinds[4] = {rqGet, rqHead, rqPost, rqGet};

    THttpCli cli(nullptr);
    TMemoryStream doc;
    TMemoryStream post;
    post.WriteBuffer("a=1&b=2", 7);
    post.SetPosition(0);
    cli.SetReceiveStream(&doc);
    cli.SetPostStream(&post);
    cli.SetTimeLimit(timeLimitMs);
    cli.SetProxy("127.0.0.1:" + std::to_string(port_));
    cli.SetURL((options & 4) != 0 ? "http://user:pw@fuzz.example:8080/dir/doc.exe?q=1"
                                  : "/dir/doc");
    cli.OnDocData = [&out](TObject*, const char* b, int n) {
      out.delivered.append(b, static_cast<std::size_t>(n));
    };
    cli.OnRequestDone = [&out](TObject*, THttpRequest, std::uint16_t e) {
      ++out.doneCount;
      out.doneError = e;
    };
    cli.StartRequest(kinds[options & 3]);

    int conn = -1;
    std::string pending;  // bytes of the current piece not yet written
    bool scriptDone = false;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeLimitMs + 5000);
    while (!(cli.RequestState() == hsIdle && out.doneCount > 0)) {
      if (std::chrono::steady_clock::now() > deadline) break;  // a hang past the time limit
      Application().ProcessMessages();
      bool progress = false;
      if (conn < 0) {
        const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c >= 0) {
          progress = true;
          if (scriptDone) {
            ::close(c);
          } else {
            conn = c;
            const int one = 1;
            ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          }
        }
      }
      if (conn >= 0) {
        char sink[4096];
        ssize_t r;
        while ((r = ::recv(conn, sink, sizeof sink, 0)) > 0) progress = true;
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
          // The client ended this connection (a relocation, an abort): the script goes on with
          // its next connection, and an end written for this one is taken as done.
          if (pending.empty() && pos < size && (data[pos] == 0x40 || data[pos] == 0x41)) ++pos;
          ::close(conn);
          conn = -1;
          pending.clear();
          progress = true;
          continue;
        }
        if (pending.empty() && !scriptDone) {
          // The next step of the script.
          if (pos >= size) {
            scriptDone = true;
            ::close(conn);
            conn = -1;
          } else {
            const std::uint8_t h = data[pos++];
            if (h == 0x40 || h == 0x41) {
              if (h == 0x41) {
                const linger lg{1, 0};
                ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
              }
              ::close(conn);
              conn = -1;
            } else {
              std::size_t n;
              if (h < 0x40) {
                const std::size_t low = pos < size ? data[pos++] : 0;
                n = ((static_cast<std::size_t>(h) << 8) | low) + 1;
              } else {
                n = static_cast<std::size_t>(h & 0x3F) + 1;
              }
              if (n > size - pos) n = size - pos;
              pending.assign(reinterpret_cast<const char*>(data + pos), n);
              pos += n;
            }
          }
          progress = true;
        }
        if (conn >= 0 && !pending.empty()) {
          const ssize_t w = ::send(conn, pending.data(), pending.size(), MSG_NOSIGNAL);
          if (w > 0) {
            pending.erase(0, static_cast<std::size_t>(w));
            progress = true;
          } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // The client has gone (it aborted): the rest of this piece is lost.
            pending.clear();
            ::close(conn);
            conn = -1;
          }
        }
      }
      if (!progress) {
        pollfd p[2] = {{listen_, POLLIN, 0}, {conn, POLLIN, 0}};
        ::poll(p, conn >= 0 ? 2 : 1, 1);
      }
    }
    if (conn >= 0) ::close(conn);
    // Connections the client opened last (a relocation) are taken and closed.
    for (int c; (c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) ::close(c);
    out.ended = cli.RequestState() == hsIdle && out.doneCount > 0;
    out.timedOut = out.doneError == 10060;
    out.responseCode = cli.ResponseCode();
    out.failureCode = cli.FailureCode();
    out.document = doc.AsString();
    Application().ProcessMessages();
    return out;
  }

 private:
  int listen_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace vantrel::test
