// Asynchronous host lookups and their one OnDnsLookupDone per outcome.
#include <gtest/gtest.h>

#include "SocketTestUtil.h"

namespace vantrel::test {
namespace {

using LookupTest = SocketTest;

TEST_F(LookupTest, DottedAddressIsAnsweredBeforeTheCallReturns) {
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  Socket.StartDnsLookup("10.0.0.1");
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(0) ");
  EXPECT_EQ(Socket.DnsResult(), "10.0.0.1");
  EXPECT_EQ(Socket.DnsResultList().Count(), 0);
  PumpFor(30);
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(0) ");
}

TEST_F(LookupTest, NamesResolveInTheBackground) {
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  Socket.StartDnsLookup("localhost");
  EXPECT_TRUE(Log.Events.empty()) << "a name is answered from the loop";
  ASSERT_TRUE(PumpUntil([&] { return !Log.Events.empty(); }, 5000));
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(0) ");
  EXPECT_EQ(Socket.DnsResult(), "127.0.0.1");
  ASSERT_GE(Socket.DnsResultList().Count(), 1);
  EXPECT_EQ(Socket.DnsResultList()[0], "127.0.0.1");

  // A failing name: an error code, and the results of the previous lookup are gone.
  Log.Events.clear();
  Socket.StartDnsLookup("no-such-host.invalid");
  EXPECT_EQ(Socket.DnsResult(), "");
  ASSERT_TRUE(PumpUntil([&] { return !Log.Events.empty(); }, 10000));
  ASSERT_EQ(Log.Events.size(), 1u);
  EXPECT_TRUE(Log.Has("DnsLookupDone(11001)") || Log.Has("DnsLookupDone(11004)") ||
              Log.Has("DnsLookupDone(11002)"))
      << Log.Joined();
  EXPECT_EQ(Socket.DnsResult(), "");
  EXPECT_EQ(Socket.DnsResultList().Count(), 0);

  // Address to name.
  Log.Events.clear();
  Socket.StartReverseDnsLookup("127.0.0.1");
  ASSERT_TRUE(PumpUntil([&] { return !Log.Events.empty(); }, 5000));
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(0) ");
  EXPECT_EQ(Socket.DnsResult(), "localhost");
  ASSERT_EQ(Socket.DnsResultList().Count(), 1);
  EXPECT_EQ(Socket.DnsResultList()[0], "localhost");
}

TEST_F(LookupTest, ANewLookupReplacesThePendingOneSilently) {
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  Socket.StartDnsLookup("no-such-host.invalid");
  Socket.StartDnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return !Log.Events.empty(); }, 5000));
  PumpFor(100);  // a reply to the replaced request would arrive about now
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(0) ");
  EXPECT_EQ(Socket.DnsResult(), "127.0.0.1");

  // Replaced by a dotted address: answered at once, and nothing else follows.
  Log.Events.clear();
  Socket.StartDnsLookup("localhost");
  Socket.StartDnsLookup("10.9.8.7");
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(0) ");
  PumpFor(100);
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(0) ");
  EXPECT_EQ(Socket.DnsResult(), "10.9.8.7");
}

TEST_F(LookupTest, CancelReportsInterruptedOnce) {
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  Socket.CancelLookup();  // nothing pending: nothing happens
  EXPECT_TRUE(Log.Events.empty());
  Socket.StartDnsLookup("localhost");
  Socket.CancelLookup();
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(10004) ");
  PumpFor(100);
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(10004) ") << "the cancelled reply must not arrive";
  EXPECT_EQ(Socket.DnsResult(), "");

  // AbortSession cancels a pending lookup too.
  Log.Events.clear();
  Socket.StartDnsLookup("localhost");
  Socket.AbortSession();
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(10004) ");
}

TEST_F(LookupTest, EmptyNamesAreRefused) {
  TWSocket Socket(nullptr);
  EventLog Log(Socket);
  try {
    Socket.StartDnsLookup("");
    ADD_FAILURE() << "an empty name raised nothing";
  } catch (const ESocketException& E) {
    EXPECT_EQ(E.Message(), "DNS lookup: invalid host name.");
  }
  EXPECT_TRUE(Log.Events.empty()) << "no event when the error was raised";

  int Errors = 0;
  Socket.OnError = [&](TObject*) { ++Errors; };
  Socket.StartDnsLookup("");
  Socket.StartReverseDnsLookup("");
  EXPECT_EQ(Errors, 2);
  EXPECT_EQ(Log.Joined(), "DnsLookupDone(10022) DnsLookupDone(10022) ");
}

TEST_F(LookupTest, DestroyingTheComponentCancelsAPendingLookup) {
  std::vector<std::string> AloneEvents;
  {
    auto Alone = std::make_unique<TWSocket>(nullptr);
    EventLog Log(*Alone);
    Alone->StartDnsLookup("localhost");
    Alone.reset();
    Log.Forget();
    AloneEvents = Log.Events;
  }
  EXPECT_EQ(AloneEvents, std::vector<std::string>{"DnsLookupDone(10004)"});

  std::vector<std::string> OwnedEvents;
  {
    auto Owner = std::make_unique<TComponent>(nullptr);
    auto* Owned = new TWSocket(Owner.get());
    EventLog Log(*Owned);
    Owned->StartDnsLookup("localhost");
    Owner.reset();
    Log.Forget();
    OwnedEvents = Log.Events;
  }
  EXPECT_TRUE(OwnedEvents.empty()) << "a component destroyed with its owner reports nothing";
  // The replies, were they delivered, would land in freed memory.
  PumpFor(100);
}

}  // namespace
}  // namespace vantrel::test
