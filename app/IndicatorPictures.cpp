#include "IndicatorPictures.h"

#include "FlowerPattern.h"

namespace vantrel {
namespace {

QImage Draw(TIcqStatus Status, QImage::Format Format, QRgb HighlightOverride = 0) {
  QImage Image(IndicatorWidth, IndicatorHeight, Format);
  for (int Y = 0; Y < IndicatorHeight; ++Y) {
    for (int X = 0; X < IndicatorWidth; ++X) {
      const char Role = FlowerRows[Y][X];
      QRgb C = 0xFF000000 | FlowerColour(Status, Role);
      if (Role == 'w' && HighlightOverride != 0) C = HighlightOverride;
      Image.setPixel(X, Y, C);
    }
  }
  return Image;
}

}  // namespace

QImage IndicatorImage(TIcqStatus Status) {
  return Draw(Status, QImage::Format_RGB888);
}

QImage CheckButtonGlyph() {
  QImage Glyph = Draw(isOnline, QImage::Format_ARGB32, qRgb(137, 185, 222));
  const QRgb Transparent = Glyph.pixel(0, IndicatorHeight - 1);
  for (int Y = 0; Y < IndicatorHeight; ++Y)
    for (int X = 0; X < IndicatorWidth; ++X)
      if (Glyph.pixel(X, Y) == Transparent) Glyph.setPixel(X, Y, qRgba(0, 0, 0, 0));
  return Glyph;
}

}  // namespace vantrel
