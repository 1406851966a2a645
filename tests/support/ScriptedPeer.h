// This is an internal header of the test support library.
// Scripted peers on 127.0.0.1: a thread that plays exact byte sequences against the code under
// test (split packets, half-closes, resets, stalls), recording what it receives.
//
//   using namespace vantrel::test;
//   ScriptedPeer peer({step::Accept(), step::ReadUntil("\r\n\r\n"),
//                      step::Send("HTTP/1.0 200 OK\r\n\r\nhi"), step::Close()});
//   ... point the client at peer.Port() and pump ...
//   ASSERT_TRUE(peer.Join(5000)) << "script still running";
//   EXPECT_TRUE(peer.Succeeded()) << peer.Error();
//   EXPECT_EQ(peer.Received(), "GET / HTTP/1.0\r\n...");
//
// Every step has a deadline (the peer's step timeout, or its own from Within()); a step that
// fails or times out ends the script with Error() telling which step and why.
//
// Thread rules: the script runs on the peer's own thread; every public member may be called from
// any thread. The destructor cancels a running script, joins the thread and closes every socket.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Mutex.h"
#include "SocketIo.h"

namespace vantrel::test {

// One step of a script; made by the functions in namespace step.
class ScriptStep {
 public:
  enum Kind : std::uint8_t {
    skAccept,
    skConnect,
    skExpect,
    skExpectExactly,
    skReadUntil,
    skSend,
    skSendSlowly,
    skPause,
    skShutdownWrite,
    skClose,
    skReset,
    skStopReading,
    skWaitForPeerClose,
    skReceiveDatagram,
    skExpectDatagram,
    skSendDatagram,
    skSendDatagramTo,
  };

  // The same step with a deadline of its own, in milliseconds.
  ScriptStep Within(int timeoutMs) const {
    ScriptStep s = *this;
    s.timeoutMs = timeoutMs;
    return s;
  }
  // A short description for error texts ("ExpectExactly(\"GET \")").
  std::string Describe() const;

  Kind kind = skPause;
  std::string bytes;
  std::size_t count = 0;
  int ms = 0;
  std::uint16_t port = 0;
  int timeoutMs = -1;  // -1: the peer's step timeout
};

namespace step {
// TCP: takes the next connection on the listening port (closing the current one, if any).
ScriptStep Accept();
// TCP: connects out to 127.0.0.1:port (closing the current connection, if any).
ScriptStep Connect(std::uint16_t port);
// TCP: receives exactly n bytes, whatever they are.
ScriptStep Expect(std::size_t n);
// TCP: receives bytes.size() bytes, which must equal bytes (fails at the first difference).
ScriptStep ExpectExactly(std::string bytes);
// TCP: receives up to and including marker.
ScriptStep ReadUntil(std::string marker);
// TCP: sends all of bytes.
ScriptStep Send(std::string bytes);
// TCP: sends bytes one at a time (Nagle off), pausing pauseMs after each.
ScriptStep SendSlowly(std::string bytes, int pauseMs = 5);
// Waits ms milliseconds.
ScriptStep Pause(int ms);
// TCP: shuts down the sending side (the peer reads an orderly end); reading goes on.
ScriptStep ShutdownWrite();
// TCP: closes the connection (an orderly end).
ScriptStep Close();
// TCP: aborts the connection: SO_LINGER {1, 0}, then close, so the other side sees a reset.
ScriptStep Reset();
// TCP: holds the connection open without reading for holdMs, or until Release() is called,
// so that the other side's sends back up (combine with Options::receiveBuffer). Not an error
// when holdMs passes.
ScriptStep StopReading(int holdMs);
// TCP: reads (recording) until the other side ends the connection, orderly or by a reset.
ScriptStep WaitForPeerClose();
// UDP: receives one datagram (its sender becomes the reply address).
ScriptStep ReceiveDatagram();
// UDP: receives one datagram that must equal bytes.
ScriptStep ExpectDatagram(std::string bytes);
// UDP: sends a datagram to the sender of the last datagram received.
ScriptStep SendDatagram(std::string bytes);
// UDP: sends a datagram to 127.0.0.1:port.
ScriptStep SendDatagramTo(std::uint16_t port, std::string bytes);
}  // namespace step

// Bytes as readable text: printable ASCII as is, \r \n \t \\ \" and \xNN otherwise, cut after
// max bytes.
std::string PrintableBytes(const std::string& bytes, std::size_t max = 300);

// The part that TCP and UDP peers share: the thread, the deadline handling, the outcome.
class ScriptPlayer {
 public:
  virtual ~ScriptPlayer();
  ScriptPlayer(const ScriptPlayer&) = delete;
  ScriptPlayer& operator=(const ScriptPlayer&) = delete;

  // The local port on 127.0.0.1 (0 when the socket could not be opened; see Error()).
  std::uint16_t Port() const { return port_; }
  // Waits up to timeoutMs for the script to end; true when it has (played through or failed).
  bool Join(int timeoutMs);
  // The script has ended.
  bool Done() const;
  // The script has ended and every step passed.
  bool Succeeded() const;
  // Which step failed and why, with what was received; "" while all is well.
  std::string Error() const;
  // Index of the step being played (the number of steps once all passed).
  std::size_t CurrentStep() const;
  // Ends a StopReading hold early.
  void Release();

 protected:
  ScriptPlayer(std::vector<ScriptStep> script, int stepTimeoutMs);
  // Starts the thread (derived constructors call it last).
  void Begin();
  // Cancels and joins (derived destructors call it first).
  void End();
  // Plays one step; returns "" when it passed, else the reason.
  virtual std::string Play(const ScriptStep& s, std::int64_t deadlineMs) = 0;
  // What the error text adds after the reason (for example the bytes received so far).
  virtual std::string Context() const { return {}; }
  // Waits ms (or until cancelled); false when cancelled.
  bool Sleep(int ms);
  // Waits until Release(), the deadline or a cancel; false when cancelled.
  bool Hold(std::int64_t deadlineMs);
  void Fail(const std::string& error);  // before Begin(): the script will not run

  std::uint16_t port_ = 0;
  detail::WakeSignal cancel_;   // raised once the destructor cancels
  detail::WakeSignal release_;  // raised by Release()
  mutable Mutex mutex_;

 private:
  void Run();

  std::vector<ScriptStep> script_;
  int stepTimeoutMs_;
  std::thread thread_;
  std::condition_variable doneCv_;
  bool done_ = false;
  std::string error_;
  std::size_t current_ = 0;
};

// A scripted TCP peer: listens on a free port of 127.0.0.1 from construction (so the code under
// test may connect before Accept runs), and can also connect out.
class ScriptedPeer : public ScriptPlayer {
 public:
  struct Options {
    int stepTimeoutMs = 5000;
    // SO_RCVBUF for accepted and connected sockets (0 = the system's), for back-pressure tests.
    int receiveBuffer = 0;
  };

  // Opens the listening socket and starts playing the script at once.
  explicit ScriptedPeer(std::vector<ScriptStep> script);
  ScriptedPeer(std::vector<ScriptStep> script, Options options);
  ~ScriptedPeer() override;

  // Everything received, over all connections, in order.
  std::string Received() const;
  // What was received on one connection (0 = the first accepted or connected); "" if none.
  std::string Received(int connection) const;
  // Connections accepted or made so far.
  int Connections() const;

 protected:
  std::string Play(const ScriptStep& s, std::int64_t deadlineMs) override;
  std::string Context() const override;

 private:
  enum ReadResult : std::uint8_t { rrData, rrEnd, rrReset, rrTimeout, rrCancelled, rrError };
  ReadResult ReadSome(std::int64_t deadlineMs);
  std::string ReadFailure(ReadResult r, const std::string& what) const;
  std::string SendAll(const std::string& bytes, std::int64_t deadlineMs);
  std::string Adopt(detail::OwnedSocket s);
  void CloseConnection(bool reset);

  Options options_;
  detail::OwnedSocket listener_;
  detail::OwnedSocket conn_;
  std::string pending_;                // received on this connection, not yet consumed by a step
  std::vector<std::string> received_;  // guarded by mutex_
  std::string all_;                    // guarded by mutex_
  int lastError_ = 0;
};

// A scripted UDP peer bound to a free port of 127.0.0.1.
class ScriptedUdpPeer : public ScriptPlayer {
 public:
  explicit ScriptedUdpPeer(std::vector<ScriptStep> script, int stepTimeoutMs = 5000);
  ~ScriptedUdpPeer() override;

  // The datagrams received, in order.
  std::vector<std::string> Datagrams() const;

 protected:
  std::string Play(const ScriptStep& s, std::int64_t deadlineMs) override;

 private:
  std::string Receive(std::int64_t deadlineMs, std::string& out);

  detail::OwnedSocket socket_;
  std::uint16_t replyPort_ = 0;
  std::vector<std::string> datagrams_;  // guarded by mutex_
};

}  // namespace vantrel::test
