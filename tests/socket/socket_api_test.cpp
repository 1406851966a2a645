// Loading the socket library, the error texts and the way failures are reported.
#include <gtest/gtest.h>

#include "SocketTestUtil.h"
#include "WinSock.h"

namespace vantrel::test {
namespace {

using SocketApiTest = SocketTest;

TEST(SocketErrorTextTest, KnownCodesAndGaps) {
  EXPECT_EQ(SocketErrorText(0), "No Error");
  EXPECT_EQ(SocketErrorText(10004), "Interrupted system call");
  EXPECT_EQ(SocketErrorText(10035), "Operation would block");
  EXPECT_EQ(SocketErrorText(10047), "Address family not supported by protocol family");
  EXPECT_EQ(SocketErrorText(10054), "Connection reset by peer");
  EXPECT_EQ(SocketErrorText(10058), "Can't send after socket shutdown");
  EXPECT_EQ(SocketErrorText(10061), "Connection refused");
  EXPECT_EQ(SocketErrorText(10071), "Too many levels of remote in path");
  EXPECT_EQ(SocketErrorText(10092), "WinSock DLL cannot support this application");
  EXPECT_EQ(SocketErrorText(10093), "WinSock not initialized");
  EXPECT_EQ(SocketErrorText(11001), "Host not found");
  EXPECT_EQ(SocketErrorText(11004), "No Data");
  for (int Gap : {-1, 1, 10000, 10005, 10072, 10090, 10094, 11000, 11005, 0x7FFFFFFF}) {
    EXPECT_EQ(SocketErrorText(Gap), "Not a WinSock error") << Gap;
  }
}

TEST_F(SocketApiTest, LoadsOnFirstUseAndUnloadsWithTheLastComponent) {
  {
    TWSocket Idle(nullptr);
    EXPECT_EQ(SocketComponentCount(), 1);
    EXPECT_EQ(SocketApiHandle(), nullptr) << "construction must not load the library";
  }
  EXPECT_EQ(SocketComponentCount(), 0);
  EXPECT_EQ(SocketApiHandle(), nullptr);
  EXPECT_FALSE(wsock32::IsStarted());

  {
    TWSocket First(nullptr);
    TWSocket Second(nullptr);
    EXPECT_EQ(SocketComponentCount(), 2);
    Aim(First, 9, "udp");
    First.Connect();  // a datagram "connect" sends nothing and needs no peer
    const HMODULE Loaded = SocketApiHandle();
    ASSERT_NE(Loaded, nullptr);
    EXPECT_TRUE(wsock32::IsStarted());
    Aim(Second, 9, "udp");
    Second.Connect();
    EXPECT_EQ(SocketApiHandle(), Loaded) << "the second component reuses the loaded library";
    EXPECT_EQ(Second.State(), wsConnected);
    First.CloseSession();
  }
  EXPECT_EQ(SocketApiHandle(), nullptr);
  EXPECT_FALSE(wsock32::IsStarted());

  // The next use loads and starts it again.
  TWSocket Again(nullptr);
  Aim(Again, 9, "udp");
  Again.Connect();
  EXPECT_NE(SocketApiHandle(), nullptr);
  EXPECT_TRUE(wsock32::IsStarted());
}

TEST_F(SocketApiTest, LoaderFailuresNameTheLibraryAndTheProcedure) {
  SetSocketApiLibraryName("nosuchlib.dll");
  {
    TWSocket Socket(nullptr);
    Aim(Socket, 9, "udp");
    try {
      Socket.Connect();
      ADD_FAILURE() << "Connect without a library raised nothing";
    } catch (const ESocketException& E) {
      // The resolution of the protocol is the first use; Connect prefixes what it caught.
      EXPECT_EQ(E.Message(), "connect: Unable to load nosuchlib.dll Error #126");
    }
    EXPECT_EQ(SocketApiHandle(), nullptr);
    try {
      SocketApiLookup("");
      ADD_FAILURE() << "loading a missing library raised nothing";
    } catch (const ESocketException& E) {
      EXPECT_EQ(E.Message(), "Unable to load nosuchlib.dll Error #126");
    }
  }
  SetSocketApiLibraryName("wsock32.dll");

  TWSocket Holder(nullptr);  // keeps the library loaded until the end of the test
  EXPECT_EQ(SocketApiLookup(""), nullptr);
  ASSERT_NE(SocketApiHandle(), nullptr);
  EXPECT_NE(SocketApiLookup("closesocket"), nullptr);
  try {
    SocketApiLookup("NoSuchProcedure");
    ADD_FAILURE() << "a missing procedure raised nothing";
  } catch (const ESocketException& E) {
    EXPECT_EQ(E.Message(), "Procedure NoSuchProcedure not found in wsock32.dll Error #127");
  }
  // Whatever the library is called, the text names the standard file.
  SetSocketApiLibraryName("WSOCK32.DLL");
  SocketApiUnload();
  try {
    SocketApiLookup("Nope");
    ADD_FAILURE();
  } catch (const ESocketException& E) {
    EXPECT_EQ(E.Message(), "Procedure Nope not found in wsock32.dll Error #127");
  }
  SetSocketApiLibraryName("wsock32.dll");
}

TEST_F(SocketApiTest, ReportTextsAndTheOnErrorPath) {
  TProbeSocket Socket(nullptr);
  SocketApi_WSASetLastError(10061);
  try {
    Socket.Report("Connect");
    ADD_FAILURE() << "a report without OnError raised nothing";
  } catch (const ESocketException& E) {
    EXPECT_EQ(E.Message(), "Error 10061 in function Connect\r\nConnection refused");
  }
  EXPECT_EQ(Socket.LastError(), 10061);

  // An argument check reads like a failed call with code 10022.
  try {
    Socket.Listen();
    ADD_FAILURE();
  } catch (const ESocketException& E) {
    EXPECT_EQ(E.Message(), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
  }

  // With OnError set nothing is raised: the handler fires once and LastError holds the code.
  int Errors = 0;
  Socket.OnError = [&](TObject* Sender) {
    EXPECT_EQ(Sender, &Socket);
    ++Errors;
  };
  Socket.SetPort("80");
  EXPECT_NO_THROW(Socket.Listen());  // no address assigned
  EXPECT_EQ(Errors, 1);
  EXPECT_EQ(Socket.LastError(), 10022);
  EXPECT_EQ(Socket.State(), wsClosed);

  EXPECT_NO_THROW(Socket.Connect());  // the checks raise through the same path
  EXPECT_EQ(Errors, 2);
  EXPECT_EQ(Socket.Send("x", 1), -1);
  EXPECT_EQ(Errors, 3);
  EXPECT_EQ(Socket.LastError(), 10057);
}

TEST_F(SocketApiTest, AResetReportGivesTheSocketUpWithoutACloseEvent) {
  TProbeSocket Socket(nullptr);
  EventLog Log(Socket);
  Socket.OnError = [](TObject*) {};
  Aim(Socket, 9, "udp");
  Socket.Connect();
  ASSERT_EQ(Socket.State(), wsConnected);
  Log.Events.clear();

  SocketApi_WSASetLastError(10054);
  Socket.Report("Send");
  EXPECT_EQ(Socket.Handle(), INVALID_SOCKET);
  EXPECT_EQ(Socket.State(), wsClosed);
  EXPECT_EQ(Log.Joined(), "ChangeState(wsConnected,wsClosed) ");
  EXPECT_EQ(Socket.LastError(), 10054);
  // The protocol was not reset: the report closes, it does not end the session.
  EXPECT_EQ(Socket.Proto(), "udp");
}

}  // namespace
}  // namespace vantrel::test
