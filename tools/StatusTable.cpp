#include "StatusTable.h"

#include <fstream>
#include <sstream>

#include "GifPicture.h"

namespace vantrel {

std::size_t DefaultPictureSize(TIcqStatus Status) {
  switch (Status) {
    case isOnline:
      return StatusGif(isOnline).size();  // the bare picture
    case isOffline:
      return 700;
    case isUnknown:
    default:
      return 1200;
  }
}

std::optional<TAnswer> ParseAnswer(const std::string& Word) {
  if (Word == "online") return TAnswer{akPicture, isOnline, -1};
  if (Word == "offline") return TAnswer{akPicture, isOffline, -1};
  if (Word == "unknown") return TAnswer{akPicture, isUnknown, -1};
  if (Word == "404") return TAnswer{akNotFound, isUnknown, -1};
  if (Word == "close") return TAnswer{akClose, isUnknown, -1};
  if (Word == "slow") return TAnswer{akSlow, isOnline, -1};
  if (Word.empty() || Word.size() > 9 || Word.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const std::int64_t Size = std::stoll(Word);
  // The picture's colours follow the band its size falls in.
  return TAnswer{akPicture, ClassifyStatusSize(Size), Size};
}

bool TStatusTable::AddOption(const std::string& Option) {
  const std::size_t Eq = Option.find('=');
  if (Eq == std::string::npos || Eq == 0) return false;
  const std::optional<TAnswer> Answer = ParseAnswer(Option.substr(Eq + 1));
  if (!Answer) return false;
  answers_[Option.substr(0, Eq)] = *Answer;
  return true;
}

bool TStatusTable::LoadFile(const std::string& Path, std::string& Error) {
  std::ifstream In(Path);
  if (!In) {
    Error = "cannot read " + Path;
    return false;
  }
  std::string Line;
  for (int Number = 1; std::getline(In, Line); ++Number) {
    Line = Line.substr(0, Line.find('#'));
    std::istringstream Words(Line);
    std::string Uin, Word, Extra;
    if (!(Words >> Uin)) continue;
    std::optional<TAnswer> Answer;
    if (Words >> Word) Answer = ParseAnswer(Word);
    if (!Answer || (Words >> Extra)) {
      Error = Path + ":" + std::to_string(Number) + ": expected \"UIN ANSWER\"";
      return false;
    }
    answers_[Uin] = *Answer;
  }
  return true;
}

TAnswer TStatusTable::Lookup(const std::string& Uin) const {
  auto It = answers_.find(Uin);
  return It == answers_.end() ? default_ : It->second;
}

}  // namespace vantrel
