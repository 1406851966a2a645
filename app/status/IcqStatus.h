// This is an internal header of the Vantrel program (its status library).
// What a status check can find, and how the size of the status picture tells it: the one
// definition that the program, the headless check command and the local status service share.
//
// Thread rule: constants and pure functions; any thread.
#pragma once

#include <cstdint>

namespace vantrel {

enum TIcqStatus : std::uint8_t { isOnline, isOffline, isUnknown };

// The size bands of the status picture, in bytes: under OnlineBelow is online; over OnlineBelow
// and under UnknownFrom is offline; anything else (exactly OnlineBelow, UnknownFrom and more) is
// unknown, so that every finished check shows a result.
inline constexpr std::int64_t OnlineBelow = 460;
inline constexpr std::int64_t UnknownFrom = 1000;

TIcqStatus ClassifyStatusSize(std::int64_t Size);
// " : Online", " : Offline", " : Unknown".
const char* StatusSuffix(TIcqStatus Status);

}  // namespace vantrel
