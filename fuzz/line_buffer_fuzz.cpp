// libFuzzer target: the line buffer and the character editor in process, without a connection.
//
// Input: byte 0 bit 0 runs the editor on every chunk. Byte 1 modulo 4 is the length of the end
// marker, whose bytes follow (an empty marker is taken as CR LF). The rest is chunks, each a
// length byte followed by that many bytes (fewer at the end of the input), appended one by one.
//
// Without editing, the lines taken after each chunk are the stream cut at every marker, whatever
// the cuts; the bytes left are the stream's tail. With editing, no backspace or tab is kept, the
// edit starts between the floor and the new bytes, and the held bytes never hold a marker that
// was not taken.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "LineBuffer.h"

namespace {

[[noreturn]] void Fail(const char* Why) {
  std::fprintf(stderr, "line_buffer_fuzz: %s\n", Why);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 2) return 0;
  const bool Edit = (Data[0] & 1) != 0;
  std::size_t At = 2;
  const std::size_t MarkerSize = std::min<std::size_t>(Data[1] % 4, Size - At);
  std::string Marker(reinterpret_cast<const char*>(Data + At), MarkerSize);
  At += MarkerSize;
  if (Marker.empty()) Marker = "\r\n";

  vantrel::TLineBuffer Held;
  std::string Stream, Taken;
  while (At < Size) {
    const std::uint8_t Want = Data[At++];
    const std::size_t Len = std::min<std::size_t>(Want, Size - At);
    const auto* Chunk = reinterpret_cast<const char*>(Data + At);
    At += Len;
    auto Got = static_cast<std::int32_t>(Len);
    std::memcpy(Held.PrepareForAppend(Got), Chunk, Len);
    if (Edit) {
      const vantrel::TLineEdit E = vantrel::EditLineBytes(Held.View(Got), Held.Count(), 0, true);
      if (E.Changed) {
        if (E.Low < 0 || E.Low > Held.Count()) Fail("the edit starts outside the line");
        if (E.Kept.find_first_of("\b\t") != std::string::npos) Fail("an edit kept a control key");
        Held.RewriteFrom(E.Low, E.Kept);
        Got = static_cast<std::int32_t>(E.Kept.size());
      } else if (std::string(Chunk, Len).find_first_of("\b\t") != std::string::npos) {
        Fail("a backspace or tab left unedited");
      }
    }
    Held.Commit(Got);
    if (!Edit) Stream.append(Chunk, Len);
    for (std::size_t Pos; (Pos = Held.FindMarker(Marker)) != std::string::npos;) {
      std::string Line(Pos + Marker.size(), '\0');
      Held.TakeFront(Line.data(), static_cast<std::int32_t>(Line.size()));
      if (Line.size() < Marker.size() || Line.compare(Pos, Marker.size(), Marker) != 0)
        Fail("a line that does not end with the marker");
      Taken += Line;
    }
    if (std::string(Held.Held()).find(Marker) != std::string::npos) Fail("a marker left held");
  }
  if (!Edit) {
    // Whatever the cuts: the lines and the rest give back the stream, and the rest holds no
    // complete line.
    if (Taken + std::string(Held.Held()) != Stream) Fail("bytes lost or reordered");
    std::size_t LineEnd = 0;
    for (std::size_t Pos; (Pos = Stream.find(Marker, LineEnd)) != std::string::npos;)
      LineEnd = Pos + Marker.size();
    if (Taken.size() != LineEnd) Fail("lines not cut at every marker");
  }
  return 0;
}
