// The mapping of Linux errno values and resolver results onto Windows Sockets codes. This file
// uses the POSIX headers for the Linux names, so it spells the Windows codes as numbers.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

#include "WinSockErrors.h"

namespace vantrel {
namespace {

TEST(WinSockErrorsTest, ErrnoValuesMapByNameNotByNumber) {
  // Linux numbers differ from the BSD ones the codes are built on (ECONNRESET: 104 against 54).
  EXPECT_EQ(10054, WsaErrorFromErrno(ECONNRESET));
  EXPECT_EQ(10061, WsaErrorFromErrno(ECONNREFUSED));
  EXPECT_EQ(10060, WsaErrorFromErrno(ETIMEDOUT));
  EXPECT_EQ(10048, WsaErrorFromErrno(EADDRINUSE));
  EXPECT_EQ(10065, WsaErrorFromErrno(EHOSTUNREACH));
  // Several Linux values share one code.
  EXPECT_EQ(10013, WsaErrorFromErrno(EPERM));
  EXPECT_EQ(10024, WsaErrorFromErrno(ENFILE));
  EXPECT_EQ(10045, WsaErrorFromErrno(ENOTSUP));
  EXPECT_EQ(10055, WsaErrorFromErrno(ENOMEM));
  EXPECT_EQ(10054, WsaErrorFromErrno(EPIPE));
  EXPECT_EQ(10035, WsaErrorFromErrno(EWOULDBLOCK));
  // A connect under way is "would block" in 1.1, never 10036 ("a blocking call is running").
  EXPECT_EQ(10035, WsaErrorFromErrno(EINPROGRESS));
  EXPECT_EQ(0, WsaErrorFromErrno(0));
  EXPECT_EQ(10022, WsaErrorFromErrno(ENOEXEC)) << "no counterpart: invalid argument";
}

TEST(WinSockErrorsTest, ResolverResultsMapOntoTheHostCodes) {
  EXPECT_EQ(0, WsaErrorFromResolver(0, 0));
  EXPECT_EQ(11001, WsaErrorFromResolver(EAI_NONAME, 0));
  EXPECT_EQ(11002, WsaErrorFromResolver(EAI_AGAIN, 0));
  EXPECT_EQ(11003, WsaErrorFromResolver(EAI_FAIL, 0));
  EXPECT_EQ(11004, WsaErrorFromResolver(EAI_NODATA, 0));
  EXPECT_EQ(11004, WsaErrorFromResolver(EAI_ADDRFAMILY, 0));
  EXPECT_EQ(10055, WsaErrorFromResolver(EAI_MEMORY, 0));
  EXPECT_EQ(10047, WsaErrorFromResolver(EAI_FAMILY, 0));
  EXPECT_EQ(10044, WsaErrorFromResolver(EAI_SOCKTYPE, 0));
  EXPECT_EQ(10022, WsaErrorFromResolver(EAI_BADFLAGS, 0));
  EXPECT_EQ(10109, WsaErrorFromResolver(EAI_SERVICE, 0));
  EXPECT_EQ(10060, WsaErrorFromResolver(EAI_SYSTEM, ETIMEDOUT)) << "errno decides";
}

TEST(WinSockErrorsTest, CloseEventsCarryOnlyTheirFourCodes) {
  EXPECT_EQ(10054, WsaCloseErrorFromErrno(ECONNRESET));
  EXPECT_EQ(10054, WsaCloseErrorFromErrno(EPIPE));
  EXPECT_EQ(10050, WsaCloseErrorFromErrno(ENETDOWN));
  EXPECT_EQ(10053, WsaCloseErrorFromErrno(ETIMEDOUT));
  EXPECT_EQ(10053, WsaCloseErrorFromErrno(EHOSTUNREACH));
}

}  // namespace
}  // namespace vantrel
