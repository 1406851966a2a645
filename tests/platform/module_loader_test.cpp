// The built-in module table: names, procedures, reference counts and the loader's errors.
#include <gtest/gtest.h>

#include "ModuleLoader.h"
#include "WinSock.h"

namespace vantrel {
namespace {

namespace ws = wsock32;

TEST(ModuleLoaderTest, LoadsTheSocketModuleByAnySpellingOfItsName) {
  HMODULE a = LoadLibrary("wsock32.dll");
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(a, LoadLibrary("WSOCK32.DLL"));
  EXPECT_EQ(a, LoadLibrary("WSock32")) << "\".dll\" is implied";
  EXPECT_EQ(a, LoadLibrary("C:\\Windows\\System32\\wsock32.dll"));
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(FreeLibrary(a));
  SetLastError(0);
  EXPECT_FALSE(FreeLibrary(a)) << "every reference was given back";
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(nullptr, GetProcAddress(a, "socket")) << "an unloaded module has no procedures";
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST(ModuleLoaderTest, ReportsMissingModulesAndProcedures) {
  SetLastError(0);
  EXPECT_EQ(nullptr, LoadLibrary("nosuch.dll"));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
  EXPECT_EQ(126u, GetLastError());
  EXPECT_EQ(nullptr, LoadLibrary(nullptr));
  HMODULE m = LoadLibrary("wsock32.dll");
  ASSERT_NE(nullptr, m);
  SetLastError(0);
  EXPECT_EQ(nullptr, GetProcAddress(m, "WSAFancyNewCall"));
  EXPECT_EQ(ERROR_PROC_NOT_FOUND, GetLastError());
  EXPECT_EQ(127u, GetLastError());
  EXPECT_EQ(nullptr, GetProcAddress(m, "Socket")) << "procedure names are case-sensitive";
  EXPECT_EQ(nullptr, GetProcAddress(m, nullptr));
  EXPECT_TRUE(FreeLibrary(m));
}

TEST(ModuleLoaderTest, EveryOperationIsFoundByItsWindowsName) {
  HMODULE m = LoadLibrary("wsock32.dll");
  ASSERT_NE(nullptr, m);
  const char* names[] = {"WSAStartup",
                         "WSACleanup",
                         "WSAGetLastError",
                         "WSASetLastError",
                         "WSAAsyncSelect",
                         "WSAAsyncGetHostByName",
                         "WSAAsyncGetHostByAddr",
                         "WSACancelAsyncRequest",
                         "gethostbyname",
                         "getservbyname",
                         "getprotobyname",
                         "inet_addr",
                         "inet_ntoa",
                         "htons",
                         "ntohs",
                         "htonl",
                         "ntohl",
                         "socket",
                         "bind",
                         "listen",
                         "accept",
                         "connect",
                         "setsockopt",
                         "getsockopt",
                         "getsockname",
                         "getpeername",
                         "ioctlsocket",
                         "send",
                         "sendto",
                         "recv",
                         "recvfrom",
                         "shutdown",
                         "closesocket"};
  for (const char* n : names) EXPECT_NE(nullptr, GetProcAddress(m, n)) << n;
  EXPECT_EQ(reinterpret_cast<FARPROC>(&ws::connect), GetProcAddress(m, "connect"));
  EXPECT_EQ(reinterpret_cast<FARPROC>(&ws::recv), GetProcAddress(m, "recv"));
  EXPECT_TRUE(FreeLibrary(m));
}

TEST(ModuleLoaderTest, StartUpAndCleanUpThroughLookedUpProcedures) {
  HMODULE m = LoadLibrary("wsock32.dll");
  ASSERT_NE(nullptr, m);
  auto startup = ProcAs<int (*)(WORD, WSADATA*)>(GetProcAddress(m, "WSAStartup"));
  auto cleanup = ProcAs<int (*)()>(GetProcAddress(m, "WSACleanup"));
  auto lastError = ProcAs<int (*)()>(GetProcAddress(m, "WSAGetLastError"));
  auto makeSocket = ProcAs<SOCKET (*)(int, int, int)>(GetProcAddress(m, "socket"));
  auto closeSocket = ProcAs<int (*)(SOCKET)>(GetProcAddress(m, "closesocket"));
  auto htonsProc = ProcAs<u_short (*)(u_short)>(GetProcAddress(m, "htons"));
  ASSERT_TRUE(startup && cleanup && lastError && makeSocket && closeSocket && htonsProc);

  EXPECT_EQ(0x5000, htonsProc(80)) << "byte order needs no start-up";
  EXPECT_EQ(INVALID_SOCKET, makeSocket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(WSANOTINITIALISED, lastError());

  WSADATA data;
  ASSERT_EQ(0, startup(0x0101, &data));
  EXPECT_TRUE(ws::IsStarted());
  SOCKET s = makeSocket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(INVALID_SOCKET, s);
  EXPECT_EQ(0, closeSocket(s));
  EXPECT_EQ(0, cleanup());
  EXPECT_FALSE(ws::IsStarted());
  EXPECT_EQ(SOCKET_ERROR, cleanup());
  EXPECT_EQ(WSANOTINITIALISED, lastError());
  EXPECT_EQ(INVALID_SOCKET, makeSocket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(WSANOTINITIALISED, lastError());
  EXPECT_TRUE(FreeLibrary(m));
}

}  // namespace
}  // namespace vantrel
