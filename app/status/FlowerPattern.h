// This is an internal header of the Vantrel program (its status library).
// The 15 x 16 flower that the status indicators show, as a pattern of colour roles and the
// colours of each status. Free of any toolkit, so that the local status service can draw the
// same flower into its pictures.
//
// Thread rule: constant data and pure functions; any thread.
#pragma once

#include <array>
#include <cstdint>

#include "IcqStatus.h"

namespace vantrel {

inline constexpr int FlowerWidth = 15;
inline constexpr int FlowerHeight = 16;

// Roles: '.' background, 'k' outline, 'p' petal, 'w' highlight, 'f' fringe round the centre,
// 'y' centre.
extern const std::array<const char*, FlowerHeight> FlowerRows;

// 0xRRGGBB of a role for a status; the background is light grey (192, 192, 192).
std::uint32_t FlowerColour(TIcqStatus Status, char Role);

}  // namespace vantrel
