#include "FlowerPattern.h"

namespace vantrel {

const std::array<const char*, FlowerHeight> FlowerRows = {
    "......kkk......",  //
    ".....kpwpk.....",  //
    ".kk..kpwpk..kk.",  //
    "kwpk.kpppk.kpwk",  //
    "kpwpkkfffkkpwpk",  //
    ".kppkfyyyfkppk.",  //
    "..kkfyyyyyfkk..",  //
    "..kfyyyyyyyfk..",  //
    "..kkfyyyyyfkk..",  //
    ".kppkfyyyfkppk.",  //
    "kpwpkkfffkkpwpk",  //
    "kwpk.kpppk.kpwk",  //
    ".kk..kpwpk..kk.",  //
    ".....kpwpk.....",  //
    "......kkk......",  //
    "...............",  //
};

std::uint32_t FlowerColour(TIcqStatus Status, char Role) {
  constexpr std::uint32_t Background = 0xC0C0C0, Black = 0x000000, White = 0xFFFFFF,
                          MidGrey = 0x7B7B7B, Yellow = 0xFFFF00;
  switch (Role) {
    case 'k':
      return Black;
    case 'w':
      return White;
    case 'p':
      return Status == isOnline ? 0x00FF00 : Status == isOffline ? 0xFF0010 : MidGrey;
    case 'f':
      return Status == isOnline ? 0x800000 : Status == isOffline ? 0x008000 : Black;
    case 'y':
      return Status == isUnknown ? MidGrey : Yellow;
    default:
      return Background;
  }
}

}  // namespace vantrel
