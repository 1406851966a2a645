// This is an internal header of the Vantrel program.
// The three 15 x 16 status indicators and the Check button's glyph, drawn from one flower
// pattern in code.
//
// Thread rule: any thread (QImage only); the pictures are new values owned by the caller.
#pragma once

#include <QImage>

#include "FlowerPattern.h"
#include "IcqStatus.h"

namespace vantrel {

inline constexpr int IndicatorWidth = FlowerWidth;
inline constexpr int IndicatorHeight = FlowerHeight;

// 24 bits per pixel on light grey (192, 192, 192): green, red or grey flower.
QImage IndicatorImage(TIcqStatus Status);
// The online flower with light blue (137, 185, 222) where it has white highlights, and its light
// grey (the colour of the bottom-left pixel) transparent.
QImage CheckButtonGlyph();

}  // namespace vantrel
