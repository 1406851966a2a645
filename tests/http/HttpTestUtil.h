// This is an internal header of the HTTP client tests.
// An event recorder for THttpCli, small helpers to run a request with a bounded wait, and the
// script of a server that answers one request.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "HttpProt.h"
#include "LeakCheck.h"
#include "Pump.h"
#include "ScriptedPeer.h"
#include "WinMessages.h"

namespace vantrel::test {

inline std::string LocalUrl(std::uint16_t port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

// A server script: accepts, reads one request header, answers bytes and closes.
inline std::vector<ScriptStep> Answer(const std::string& bytes) {
  return {step::Accept(), step::ReadUntil("\r\n\r\n"), step::Send(bytes), step::Close()};
}

// One answer per connection, each after the whole request header.
inline std::vector<ScriptStep> Answers(const std::vector<std::string>& answers) {
  std::vector<ScriptStep> script;
  for (const std::string& a : answers) {
    for (ScriptStep& s : Answer(a)) script.push_back(std::move(s));
  }
  return script;
}

inline std::string FirstLine(const std::string& s) {
  return s.substr(0, s.find("\r\n"));
}

// Records every event of a client as a short text, in order.
struct HttpRecorder {
  explicit HttpRecorder(THttpCli& cli) : cli_(cli) {
    cli.OnStateChange = [this](TObject*) { Add("State " + std::to_string(cli_.RequestState())); };
    cli.OnSessionConnected = [this](TObject*) { Add("SessionConnected"); };
    cli.OnRequestHeaderBegin = [this](TObject*) { Add("RequestHeaderBegin"); };
    cli.OnRequestHeaderEnd = [this](TObject*) { Add("RequestHeaderEnd"); };
    cli.OnCommand = [this](TObject*, const std::string& s) { commands.push_back(s); };
    cli.OnHeaderBegin = [this](TObject*) { Add("HeaderBegin"); };
    cli.OnHeaderData = [this](TObject*) { Add("HeaderData " + cli_.CurrentLine()); };
    cli.OnHeaderEnd = [this](TObject*) { Add("HeaderEnd"); };
    cli.OnDocBegin = [this](TObject*) { Add("DocBegin"); };
    cli.OnDocData = [this](TObject*, const char* buffer, int len) {
      chunks.emplace_back(buffer, static_cast<std::size_t>(len));
      document.append(buffer, static_cast<std::size_t>(len));
      Add("DocData " + std::to_string(len));
    };
    cli.OnDocEnd = [this](TObject*) { Add("DocEnd"); };
    cli.OnSendBegin = [this](TObject*) { Add("SendBegin"); };
    cli.OnSendData = [this](TObject*, const char*, int len) {
      sendSizes.push_back(len);
      Add("SendData " + std::to_string(len));
    };
    cli.OnSendEnd = [this](TObject*) { Add("SendEnd"); };
    cli.OnLocationChange = [this](TObject*) { Add("LocationChange " + cli_.CurrentLocation()); };
    cli.OnCookie = [this](TObject*, const std::string& data, bool& accept) {
      EXPECT_TRUE(accept);
      Add("Cookie " + data);
    };
    cli.OnRequestDone = [this](TObject*, THttpRequest kind, std::uint16_t error) {
      ++doneCount;
      doneKind = kind;
      doneError = error;
      Add("RequestDone " + std::to_string(kind) + " " + std::to_string(error));
    };
  }

  void Add(const std::string& s) { events.push_back(s); }
  bool Has(const std::string& s) const {
    for (const auto& e : events)
      if (e == s) return true;
    return false;
  }
  int Count(const std::string& s) const {
    int n = 0;
    for (const auto& e : events) n += e == s ? 1 : 0;
    return n;
  }
  // Starts a request and pumps until OnRequestDone (or the deadline).
  bool Run(THttpRequest kind, int timeoutMs = 10000) {
    const int before = doneCount;
    cli_.StartRequest(kind);
    return PumpUntil([&] { return doneCount > before && cli_.RequestState() == hsIdle; },
                     timeoutMs);
  }
  std::string Joined() const {
    std::string out;
    for (const auto& e : events) out += e + "\n";
    return out;
  }

  std::vector<std::string> events;
  std::vector<std::string> commands;
  std::vector<std::string> chunks;
  std::vector<int> sendSizes;
  std::string document;
  int doneCount = 0;
  THttpRequest doneKind = rqNone;
  std::uint16_t doneError = 0;

 private:
  THttpCli& cli_;
};

// Ends every test with no descriptor or window left open. The thread's message queue and the
// socket library are set up once, before the count.
class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    { THttpCli warm(nullptr); }
    // Windows first: the first window count may open handles that last as long as the process.
    windows_ = LiveWindowCount();
    fds_ = OpenDescriptorCount();
  }
  void TearDown() override {
    // A skipped test opened nothing; reporting the skip may open handles of its own (Windows).
    if (IsSkipped()) return;
    PumpFor(20);
    EXPECT_EQ(OpenDescriptorCount(), fds_) << "descriptor left open";
    EXPECT_EQ(LiveWindowCount(), windows_) << "window left open";
  }

 private:
  int fds_ = 0;
  int windows_ = 0;
};

}  // namespace vantrel::test
