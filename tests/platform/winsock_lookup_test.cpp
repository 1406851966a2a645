// WSAAsyncGetHostByName/ByAddr and WSACancelAsyncRequest: the result is written into the
// caller's buffer on the window's thread, just before the message is dispatched, and never
// after a successful cancel. The resolver answers localhost from the hosts file and refuses the
// reserved ".invalid" domain.
#include <cstring>
#include <string>

#include "WinSockTestKit.h"

namespace vantrel::wstest {
namespace {

constexpr UINT kLookupMsg = WM_USER + 2;
constexpr unsigned char kPattern = 0xA5;

struct Buffer {
  Buffer() { std::memset(bytes, kPattern, sizeof bytes); }
  bool Untouched() const {
    for (unsigned char b : bytes)
      if (b != kPattern) return false;
    return true;
  }
  bool Inside(const void* p, std::size_t n) const {
    auto* c = static_cast<const char*>(p);
    return c >= bytes && c + n <= bytes + sizeof bytes;
  }
  alignas(8) char bytes[MAXGETHOSTSTRUCT];
};

const MSG* Find(const RecordingWindow& w, HANDLE h) {
  for (const auto& m : w.messages)
    if (m.message == kLookupMsg && m.wParam == h) return &m;
  return nullptr;
}

std::uint32_t Address(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A request that was delivered or cancelled can no longer be cancelled.
::testing::AssertionResult AlreadyFinished(HANDLE h) {
  int r = ws::WSACancelAsyncRequest(h);
  int err = ws::WSAGetLastError();
  if (r == SOCKET_ERROR && err == WSAEALREADY) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "cancel gave " << r << " with last error " << err;
}

class LookupTest : public WinSockTest {};

TEST_F(LookupTest, NameLookupWritesTheWholeEntryInsideTheBuffer) {
  RecordingWindow w;
  Buffer buf;
  HANDLE h =
      ws::WSAAsyncGetHostByName(w.Handle(), kLookupMsg, "localhost", buf.bytes, sizeof buf.bytes);
  ASSERT_NE(0u, h);
  EXPECT_TRUE(buf.Untouched()) << "nothing is written before the message is taken";
  ASSERT_TRUE(PumpUntil([&] { return Find(w, h) != nullptr; }));
  const MSG* m = Find(w, h);
  EXPECT_EQ(0, WSAGetAsyncError(m->lParam));
  WORD used = WSAGetAsyncBufLen(m->lParam);
  EXPECT_GT(used, sizeof(HOSTENT));
  EXPECT_LE(used, sizeof buf.bytes);

  HOSTENT h0;
  std::memcpy(&h0, buf.bytes, sizeof h0);
  EXPECT_STREQ("localhost", h0.h_name);
  EXPECT_EQ(AF_INET, h0.h_addrtype);
  EXPECT_EQ(4, h0.h_length);
  // Every pointer of the entry, and what it points to, lies in the first `used` bytes.
  auto inUsed = [&](const void* p, std::size_t n) {
    return static_cast<const char*>(p) >= buf.bytes &&
           static_cast<const char*>(p) + n <= buf.bytes + used;
  };
  EXPECT_TRUE(inUsed(h0.h_name, std::strlen(h0.h_name) + 1));
  ASSERT_TRUE(inUsed(h0.h_aliases, sizeof(char*)));
  for (char** a = h0.h_aliases; *a != nullptr; ++a) EXPECT_TRUE(inUsed(*a, std::strlen(*a) + 1));
  ASSERT_TRUE(inUsed(h0.h_addr_list, 2 * sizeof(char*)));
  ASSERT_NE(nullptr, h0.h_addr_list[0]);
  EXPECT_TRUE(inUsed(h0.h_addr_list[0], 4));
  EXPECT_EQ(ws::inet_addr("127.0.0.1"), Address(h0.h_addr_list[0]));
  EXPECT_EQ(kPattern, static_cast<unsigned char>(buf.bytes[used])) << "nothing past `used`";

  EXPECT_TRUE(AlreadyFinished(h));
}

TEST_F(LookupTest, DottedNamesAndAddressesResolve) {
  RecordingWindow w;
  Buffer byName, byAddr;
  HANDLE h1 = ws::WSAAsyncGetHostByName(w.Handle(), kLookupMsg, "127.0.0.1", byName.bytes,
                                        sizeof byName.bytes);
  std::uint32_t loopback = ws::inet_addr("127.0.0.1");
  HANDLE h2 =
      ws::WSAAsyncGetHostByAddr(w.Handle(), kLookupMsg, reinterpret_cast<const char*>(&loopback), 4,
                                AF_INET, byAddr.bytes, sizeof byAddr.bytes);
  ASSERT_NE(0u, h1);
  ASSERT_NE(0u, h2);
  EXPECT_NE(h1, h2);
  ASSERT_TRUE(PumpUntil([&] { return Find(w, h1) && Find(w, h2); }));
  EXPECT_EQ(0, WSAGetAsyncError(Find(w, h1)->lParam));
  EXPECT_EQ(0, WSAGetAsyncError(Find(w, h2)->lParam));
  HOSTENT e;
  std::memcpy(&e, byName.bytes, sizeof e);
  EXPECT_STREQ("127.0.0.1", e.h_name);
  EXPECT_EQ(loopback, Address(e.h_addr_list[0]));
  EXPECT_EQ(nullptr, e.h_addr_list[1]);
  std::memcpy(&e, byAddr.bytes, sizeof e);
  EXPECT_STREQ("localhost", e.h_name);
  EXPECT_EQ(loopback, Address(e.h_addr_list[0]));

  EXPECT_EQ(0u, ws::WSAAsyncGetHostByAddr(w.Handle(), kLookupMsg,
                                          reinterpret_cast<const char*>(&loopback), 4, 23,
                                          byAddr.bytes, sizeof byAddr.bytes));
  EXPECT_EQ(WSAEAFNOSUPPORT, ws::WSAGetLastError());
  EXPECT_EQ(0u, ws::WSAAsyncGetHostByAddr(w.Handle(), kLookupMsg,
                                          reinterpret_cast<const char*>(&loopback), 16, AF_INET,
                                          byAddr.bytes, sizeof byAddr.bytes));
  EXPECT_EQ(WSAEFAULT, ws::WSAGetLastError());
}

TEST_F(LookupTest, FailuresAndSmallBuffersLeaveTheBufferAlone) {
  RecordingWindow w;
  Buffer missing, small;
  HANDLE h1 = ws::WSAAsyncGetHostByName(w.Handle(), kLookupMsg, "nonexistent.invalid",
                                        missing.bytes, sizeof missing.bytes);
  HANDLE h2 = ws::WSAAsyncGetHostByName(w.Handle(), kLookupMsg, "localhost", small.bytes, 16);
  ASSERT_NE(0u, h1);
  ASSERT_NE(0u, h2);
  ASSERT_TRUE(PumpUntil([&] { return Find(w, h1) && Find(w, h2); }, 10000));
  EXPECT_EQ(WSAHOST_NOT_FOUND, WSAGetAsyncError(Find(w, h1)->lParam));
  EXPECT_EQ(0, WSAGetAsyncBufLen(Find(w, h1)->lParam));
  EXPECT_TRUE(missing.Untouched());
  EXPECT_EQ(WSAENOBUFS, WSAGetAsyncError(Find(w, h2)->lParam));
  EXPECT_GT(WSAGetAsyncBufLen(Find(w, h2)->lParam), 16) << "the size it would need";
  EXPECT_TRUE(small.Untouched());
}

TEST_F(LookupTest, CancelStopsTheWriteAndTheMessage) {
  RecordingWindow w1, w2;
  Buffer pending, queued;
  // Cancelled at once, while the worker may still be resolving.
  HANDLE h1 = ws::WSAAsyncGetHostByName(w1.Handle(), kLookupMsg, "localhost", pending.bytes,
                                        sizeof pending.bytes);
  ASSERT_NE(0u, h1);
  EXPECT_EQ(0, ws::WSACancelAsyncRequest(h1));
  // Cancelled while its completion already waits in the queue.
  HANDLE h2 = ws::WSAAsyncGetHostByName(w2.Handle(), kLookupMsg, "127.0.0.1", queued.bytes,
                                        sizeof queued.bytes);
  ASSERT_NE(0u, h2);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  MSG m{};
  while (!PeekMessage(&m, w2.Handle(), 0, 0, PM_NOREMOVE) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(h2, m.wParam) << "the completion is queued";
  EXPECT_EQ(0, ws::WSACancelAsyncRequest(h2));
  Pump(300);
  EXPECT_TRUE(w1.messages.empty());
  EXPECT_TRUE(w2.messages.empty());
  EXPECT_TRUE(pending.Untouched());
  EXPECT_TRUE(queued.Untouched());
  EXPECT_TRUE(AlreadyFinished(h1)) << "cancelled already";
  EXPECT_EQ(SOCKET_ERROR, ws::WSACancelAsyncRequest(0));
  EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, ws::WSACancelAsyncRequest(h2 + 1000));
  EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());
}

TEST_F(LookupTest, NothingIsWrittenForADestroyedWindow) {
  Buffer buf;
  HANDLE h;
  {
    RecordingWindow w;
    h = ws::WSAAsyncGetHostByName(w.Handle(), kLookupMsg, "127.0.0.1", buf.bytes, sizeof buf.bytes);
    ASSERT_NE(0u, h);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Pump(200);
  EXPECT_TRUE(buf.Untouched());
}

}  // namespace
}  // namespace vantrel::wstest
