// Turning failures into reports: ReportSocketError and the two raising operations.
#include "CustomWSocket.h"
#include "WSocketInternal.h"
#include "WinSock.h"

namespace vantrel {

std::string FormatArgs(const std::string& Fmt, const std::vector<TFormatArg>& Args) {
  std::string Out;
  std::size_t Next = 0;
  for (std::size_t I = 0; I < Fmt.size(); ++I) {
    const char C = Fmt[I];
    if (C != '%' || I + 1 == Fmt.size()) {
      Out += C;
      continue;
    }
    const char Conversion = Fmt[++I];
    if (Conversion == '%') {
      Out += '%';
    } else if ((Conversion == 'd' || Conversion == 's') && Next < Args.size()) {
      const TFormatArg& Arg = Args[Next++];
      if (const auto* Number = std::get_if<std::int64_t>(&Arg)) {
        Out += std::to_string(*Number);
      } else {
        Out += std::get<std::string>(Arg);
      }
    } else {
      Out += '%';
      Out += Conversion;
    }
  }
  return Out;
}

void TCustomWSocket::ReportSocketError(const std::string& FuncName) {
  const int Code = SocketApi_WSAGetLastError();
  const std::string Msg =
      "Error " + std::to_string(Code) + " in function " + FuncName + "\r\n" + SocketErrorText(Code);
  // A reset or unconnected socket is of no further use: give it up at once.
  if (Code == WSAECONNRESET || Code == WSAENOTCONN) {
    if (SocketHandle_ != INVALID_SOCKET) SocketApi_closesocket(SocketHandle_);
    SocketHandle_ = INVALID_SOCKET;
    SetState(wsClosed);
  }
  LastError_ = Code;
  RaiseSocketException(Msg);
}

void TCustomWSocket::RaiseSocketException(const std::string& Msg) {
  if (OnError) {
    FireError();
    return;
  }
  throw ESocketException(Msg);
}

void TCustomWSocket::RaiseSocketExceptionFmt(const std::string& Fmt,
                                             const std::vector<TFormatArg>& Args) {
  if (OnError) {
    FireError();
    return;
  }
  throw ESocketException(FormatArgs(Fmt, Args));
}

}  // namespace vantrel
