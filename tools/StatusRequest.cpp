#include "StatusRequest.h"

namespace vantrel {
namespace {

// ASCII only, like SameText, but on views: the request line is read without copying its parts.
bool SameAscii(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t I = 0; I < A.size(); ++I) {
    const auto Lower = [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; };
    if (Lower(A[I]) != Lower(B[I])) return false;
  }
  return true;
}

// Whether a "Connection" field among the header lines after the request line names keep-alive.
bool AsksKeepAlive(std::string_view Header) {
  bool KeepAlive = false;
  std::size_t Start = Header.find('\n');
  while (Start != std::string_view::npos && Start + 1 < Header.size()) {
    const std::size_t End = Header.find('\n', Start + 1);
    const std::string_view Line = Header.substr(Start + 1, End - Start - 1);
    Start = End;
    const std::size_t Colon = Line.find(':');
    if (Colon == std::string_view::npos || !SameAscii(Line.substr(0, Colon), "connection"))
      continue;
    // A list of options: "keep-alive", "close", or others, separated by commas.
    std::string_view Options = Line.substr(Colon + 1);
    while (!Options.empty()) {
      const std::size_t Comma = Options.find(',');
      std::string_view Option = Options.substr(0, Comma);
      Options = Comma == std::string_view::npos ? std::string_view() : Options.substr(Comma + 1);
      while (!Option.empty() && (Option.front() == ' ' || Option.front() == '\t'))
        Option.remove_prefix(1);
      while (!Option.empty() &&
             (Option.back() == ' ' || Option.back() == '\t' || Option.back() == '\r'))
        Option.remove_suffix(1);
      if (SameAscii(Option, "close")) return false;
      if (SameAscii(Option, "keep-alive")) KeepAlive = true;
    }
  }
  return KeepAlive;
}

}  // namespace

std::size_t FindHeaderEnd(const std::string& Data) {
  const std::size_t Crlf = Data.find("\r\n\r\n");
  const std::size_t Lf = Data.find("\n\n");
  if (Crlf == std::string::npos && Lf == std::string::npos) return std::string::npos;
  if (Lf == std::string::npos || (Crlf != std::string::npos && Crlf < Lf)) return Crlf + 4;
  return Lf + 2;
}

bool ParseStatusRequest(std::string_view Header, TStatusRequest& Out) {
  Out.Method.clear();
  Out.Target.clear();
  Out.Version.clear();
  Out.Path.clear();
  Out.Uin.clear();
  Out.Img.clear();
  Out.HasUin = false;
  Out.KeepAlive = false;
  std::string_view Line = Header.substr(0, Header.find('\n'));
  if (!Line.empty() && Line.back() == '\r') Line.remove_suffix(1);
  const std::size_t First = Line.find(' ');
  const std::size_t Last = Line.rfind(' ');
  if (First == std::string_view::npos || First == Last) return false;
  const std::string_view Method = Line.substr(0, First);
  const std::string_view Target = Line.substr(First + 1, Last - First - 1);
  const std::string_view Version = Line.substr(Last + 1);
  if (Method.empty() || Target.empty() || !Version.starts_with("HTTP/")) return false;
  Out.Method = Method;
  Out.Target = Target;
  Out.Version = Version;
  Out.KeepAlive = AsksKeepAlive(Header);

  std::string_view Rest = Target;
  if (Rest.size() >= 7 && SameAscii(Rest.substr(0, 7), "http://")) {
    const std::size_t Slash = Rest.find('/', 7);
    Rest = Slash == std::string_view::npos ? std::string_view("/") : Rest.substr(Slash);
  }
  const std::size_t Question = Rest.find('?');
  Out.Path = Rest.substr(0, Question);
  if (Question == std::string_view::npos) return true;
  const std::string_view Query = Rest.substr(Question + 1);
  std::size_t Start = 0;
  while (Start <= Query.size()) {
    std::size_t Amp = Query.find('&', Start);
    if (Amp == std::string_view::npos) Amp = Query.size();
    const std::string_view Pair = Query.substr(Start, Amp - Start);
    const std::size_t Eq = Pair.find('=');
    const std::string_view Key = Pair.substr(0, Eq);
    const std::string_view Value =
        Eq == std::string_view::npos ? std::string_view() : Pair.substr(Eq + 1);
    if (SameAscii(Key, "icq") && !Out.HasUin) {
      Out.Uin = Value;
      Out.HasUin = true;
    } else if (SameAscii(Key, "img") && Out.Img.empty()) {
      Out.Img = Value;
    }
    Start = Amp + 1;
  }
  return true;
}

bool IsStatusQuery(const TStatusRequest& Request) {
  return (Request.Method == "GET" || Request.Method == "HEAD") &&
         SameAscii(Request.Path, StatusPath) && Request.HasUin;
}

}  // namespace vantrel
