// This is an internal header of the local status service.
// Which answer the service gives for a UIN: from --status options, a table file and a default.
//
// Table file: one "UIN ANSWER" pair a line, blanks between; '#' starts a comment. ANSWER is
//   online | offline | unknown   the status picture (about 190, 700 and 1200 bytes)
//   <bytes>                      a picture of exactly that many bytes (a decimal number)
//   404                          "404 Not Found"
//   close                        the connection is closed without an answer
//   slow                         the picture, after the service's delay
// A UIN that is listed nowhere gets the default answer, "offline" unless set otherwise.
//
// Thread rule: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "IcqStatus.h"

namespace vantrel {

enum TAnswerKind : std::uint8_t { akPicture, akNotFound, akClose, akSlow };

struct TAnswer {
  TAnswerKind Kind = akPicture;
  TIcqStatus Status = isOffline;
  std::int64_t Size = -1;  // bytes of the picture; -1: the status's own size
};

// Bytes of a status's own picture: the bare picture (about 190), 700 or 1200.
std::size_t DefaultPictureSize(TIcqStatus Status);
// "online", "700", "404", ...; nothing for a word that is not an answer.
std::optional<TAnswer> ParseAnswer(const std::string& Word);

class TStatusTable {
 public:
  // Adds "UIN=ANSWER"; false when malformed.
  bool AddOption(const std::string& Option);
  // Adds every line of a table file; false (with the line number in Error) when the file cannot
  // be read or a line is malformed.
  bool LoadFile(const std::string& Path, std::string& Error);
  void SetDefault(const TAnswer& Answer) { default_ = Answer; }
  TAnswer Lookup(const std::string& Uin) const;

 private:
  std::map<std::string, TAnswer> answers_;
  TAnswer default_{};
};

}  // namespace vantrel
