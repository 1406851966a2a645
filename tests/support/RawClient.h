// This is an internal header of the test support library.
// Plain blocking clients on 127.0.0.1 with a deadline on every wait: the other end of a
// component under test, or a check that a test server answers.
//
// Thread rule: one thread uses an object at a time. Descriptors are closed on destruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "SocketIo.h"

namespace vantrel::test {

class RawClient {
 public:
  // Connects to 127.0.0.1:port within timeoutMs; Connected() tells, Error() says why not.
  explicit RawClient(std::uint16_t port, int timeoutMs = 5000);

  bool Connected() const { return socket_.Valid(); }
  const std::string& Error() const { return error_; }

  // Sends all of bytes; false (with Error()) on failure.
  bool Send(const std::string& bytes);
  // Reads until n bytes, the marker (included), or the end of the connection has arrived, or
  // timeoutMs passes; returns what was read. Bytes past what was asked for are kept for the next
  // call.
  std::string Read(std::size_t n, int timeoutMs = 5000);
  std::string ReadUntil(const std::string& marker, int timeoutMs = 5000);
  std::string ReadToEnd(int timeoutMs = 5000);
  // The other side ended the connection (orderly, or by a reset).
  bool Ended() const { return ended_; }
  bool WasReset() const { return reset_; }

  void ShutdownWrite();
  void Close() { socket_.Reset(); }
  // Aborts the connection (SO_LINGER {1, 0}, close).
  void Reset();

 private:
  // Reads once into buffer_; false on end, error or timeout.
  bool Fill(std::int64_t deadlineMs);
  std::string Take(std::size_t n);

  detail::OwnedSocket socket_;
  std::string buffer_;
  std::string error_;
  bool ended_ = false;
  bool reset_ = false;
};

// A UDP socket bound to a free port of 127.0.0.1.
class RawUdpSocket {
 public:
  RawUdpSocket();
  bool Valid() const { return socket_.Valid(); }
  std::uint16_t Port() const { return port_; }
  bool SendTo(std::uint16_t port, const std::string& bytes);
  // One datagram, or "" after timeoutMs (*fromPort gets the sender's port).
  std::string Receive(int timeoutMs = 5000, std::uint16_t* fromPort = nullptr);

 private:
  detail::OwnedSocket socket_;
  std::uint16_t port_ = 0;
};

}  // namespace vantrel::test
