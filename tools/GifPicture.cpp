#include "GifPicture.h"

#include <cstdint>
#include <vector>

#include "FlowerPattern.h"

namespace vantrel {
namespace {

constexpr int kMinCodeSize = 3;  // 8 colours
constexpr unsigned kClear = 1u << kMinCodeSize;
constexpr unsigned kEnd = kClear + 1;
// A clear code after this many literals keeps every code 4 bits wide: the decoder's table never
// reaches 16 entries.
constexpr int kLiteralsPerClear = 6;

void Put16(std::string& out, unsigned v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

// The image as LZW codes without compression: every pixel is a literal.
std::string EncodePixels(const std::vector<std::uint8_t>& pixels) {
  std::string bytes;
  std::uint32_t bitBuffer = 0;
  int bitCount = 0;
  auto emit = [&](unsigned code) {
    bitBuffer |= code << bitCount;
    bitCount += kMinCodeSize + 1;
    while (bitCount >= 8) {
      bytes += static_cast<char>(bitBuffer & 0xFF);
      bitBuffer >>= 8;
      bitCount -= 8;
    }
  };
  int sinceClear = kLiteralsPerClear;
  for (std::uint8_t p : pixels) {
    if (sinceClear == kLiteralsPerClear) {
      emit(kClear);
      sinceClear = 0;
    }
    emit(p);
    ++sinceClear;
  }
  emit(kEnd);
  if (bitCount > 0) bytes += static_cast<char>(bitBuffer & 0xFF);
  return bytes;
}

// Data cut into sub-blocks, at least `blocks` of them, then the terminator.
std::string SubBlocks(const std::string& data, std::size_t blocks) {
  std::string out;
  std::size_t pos = 0;
  std::size_t left = blocks;
  while (pos < data.size()) {
    std::size_t remaining = data.size() - pos;
    std::size_t n = remaining > 255 ? 255 : remaining;
    // Leave at least one byte for each block still to come.
    if (left > 1 && remaining - n < left - 1) n = remaining - (left - 1);
    out += static_cast<char>(n);
    out.append(data, pos, n);
    pos += n;
    if (left > 0) --left;
  }
  out += '\0';
  return out;
}

std::string Build(TIcqStatus status, std::size_t extraImageBlocks, std::size_t commentBytes,
                  bool withComment) {
  const char roles[] = {'.', 'k', 'p', 'w', 'f', 'y'};
  std::string gif = "GIF89a";
  Put16(gif, FlowerWidth);
  Put16(gif, FlowerHeight);
  gif += static_cast<char>(0xF2);  // global colour table of 8 entries, 8 bits per primary
  gif += '\0';                     // background colour index
  gif += '\0';                     // pixel aspect ratio
  for (int i = 0; i < 8; ++i) {
    const std::uint32_t c = i < 6 ? FlowerColour(status, roles[i]) : 0;
    gif += static_cast<char>((c >> 16) & 0xFF);
    gif += static_cast<char>((c >> 8) & 0xFF);
    gif += static_cast<char>(c & 0xFF);
  }
  if (withComment) {
    gif += "\x21\xFE";
    std::string text = "Vantrel status picture ";
    text.resize(commentBytes, '.');
    gif += SubBlocks(text, 0);
  }
  gif += ',';
  Put16(gif, 0);
  Put16(gif, 0);
  Put16(gif, FlowerWidth);
  Put16(gif, FlowerHeight);
  gif += '\0';  // no local colour table, not interlaced
  std::vector<std::uint8_t> pixels;
  for (const char* row : FlowerRows)
    for (int x = 0; x < FlowerWidth; ++x) {
      std::uint8_t index = 0;
      for (std::uint8_t r = 0; r < 6; ++r)
        if (roles[r] == row[x]) index = r;
      pixels.push_back(index);
    }
  gif += static_cast<char>(kMinCodeSize);
  gif += SubBlocks(EncodePixels(pixels), 1 + extraImageBlocks);
  gif += ';';
  return gif;
}

// Bytes a comment extension of n data bytes adds: introducer, label, length bytes, terminator.
std::size_t CommentCost(std::size_t n) {
  return 2 + n + (n + 254) / 255 + 1;
}

}  // namespace

std::string StatusGif(TIcqStatus Status) {
  return Build(Status, 0, 0, false);
}

std::string StatusGif(TIcqStatus Status, std::size_t Size) {
  std::string base = StatusGif(Status);
  if (Size <= base.size()) return base.substr(0, Size);
  std::size_t pad = Size - base.size();
  // A comment costs at least 3 bytes and grows a byte at a time from 5; smaller steps come from
  // splitting the image data into more sub-blocks (one byte each).
  std::size_t extraBlocks = 0;
  if (pad < 5 && pad != 3) {
    extraBlocks = pad;
    pad = 0;
  }
  if (pad == 0) return Build(Status, extraBlocks, 0, false);
  // The largest comment that fits: its cost is not linear where a new sub-block starts.
  std::size_t n = pad;
  while (n > 0 && CommentCost(n) > pad) --n;
  extraBlocks = pad - CommentCost(n);
  return Build(Status, extraBlocks, n, true);
}

}  // namespace vantrel
