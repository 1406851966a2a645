#include "StatusRequest.h"

#include "TextUtils.h"

namespace vantrel {

std::size_t FindHeaderEnd(const std::string& Data) {
  const std::size_t Crlf = Data.find("\r\n\r\n");
  const std::size_t Lf = Data.find("\n\n");
  if (Crlf == std::string::npos && Lf == std::string::npos) return std::string::npos;
  if (Lf == std::string::npos || (Crlf != std::string::npos && Crlf < Lf)) return Crlf + 4;
  return Lf + 2;
}

bool ParseStatusRequest(const std::string& Header, TStatusRequest& Out) {
  Out = TStatusRequest{};
  std::string Line = Header.substr(0, Header.find('\n'));
  if (!Line.empty() && Line.back() == '\r') Line.pop_back();
  const std::size_t First = Line.find(' ');
  const std::size_t Last = Line.rfind(' ');
  if (First == std::string::npos || First == Last) return false;
  Out.Method = Line.substr(0, First);
  Out.Target = Line.substr(First + 1, Last - First - 1);
  Out.Version = Line.substr(Last + 1);
  if (Out.Method.empty() || Out.Target.empty() || Out.Version.rfind("HTTP/", 0) != 0) return false;

  std::string Rest = Out.Target;
  if (Rest.size() >= 7 && SameText(Rest.substr(0, 7), "http://")) {
    const std::size_t Slash = Rest.find('/', 7);
    Rest = Slash == std::string::npos ? "/" : Rest.substr(Slash);
  }
  const std::size_t Question = Rest.find('?');
  Out.Path = Rest.substr(0, Question);
  if (Question == std::string::npos) return true;
  const std::string Query = Rest.substr(Question + 1);
  std::size_t Start = 0;
  while (Start <= Query.size()) {
    std::size_t Amp = Query.find('&', Start);
    if (Amp == std::string::npos) Amp = Query.size();
    const std::string Pair = Query.substr(Start, Amp - Start);
    const std::size_t Eq = Pair.find('=');
    const std::string Key = Pair.substr(0, Eq);
    const std::string Value = Eq == std::string::npos ? std::string() : Pair.substr(Eq + 1);
    if (SameText(Key, "icq") && !Out.HasUin) {
      Out.Uin = Value;
      Out.HasUin = true;
    } else if (SameText(Key, "img") && Out.Img.empty()) {
      Out.Img = Value;
    }
    Start = Amp + 1;
  }
  return true;
}

bool IsStatusQuery(const TStatusRequest& Request) {
  return (Request.Method == "GET" || Request.Method == "HEAD") &&
         SameText(Request.Path, StatusPath) && Request.HasUin;
}

}  // namespace vantrel
