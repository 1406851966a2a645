// The held bytes of line mode and the character editor, fed directly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "LineBuffer.h"

namespace vantrel {
namespace {

void Append(TLineBuffer& B, const std::string& Bytes) {
  std::memcpy(B.PrepareForAppend(static_cast<std::int32_t>(Bytes.size())), Bytes.data(),
              Bytes.size());
  B.Commit(static_cast<std::int32_t>(Bytes.size()));
}

TEST(LineBufferTest, TheMarkerIsFoundWhereverTheReceivesSplitIt) {
  for (const std::string Marker : {"\r\n", "<EOL>"}) {
    const std::string Text = "one" + Marker + "tw";
    for (std::size_t Split = 0; Split <= Text.size(); ++Split) {
      TLineBuffer B;
      Append(B, Text.substr(0, Split));
      const std::size_t Early = B.FindMarker(Marker);
      EXPECT_EQ(Early, Split >= 3 + Marker.size() ? 3 : std::string::npos) << Split;
      Append(B, Text.substr(Split));
      ASSERT_EQ(B.FindMarker(Marker), 3u) << Marker << " split at " << Split;

      // Taking the line leaves the rest in order; it holds no marker.
      char Line[16];
      ASSERT_EQ(B.TakeFront(Line, static_cast<std::int32_t>(3 + Marker.size())),
                static_cast<std::int32_t>(3 + Marker.size()));
      EXPECT_EQ(B.Held(), "tw");
      EXPECT_EQ(B.FindMarker(Marker), std::string::npos);
    }
  }
}

TEST(LineBufferTest, TheEditorAppliesBackspacesAndTabsAndEchoesAsATerminal) {
  // No backspace or tab: nothing changes, the bytes are echoed as they came.
  TLineEdit Plain = EditLineBytes("held:abc", 5, 0, true);
  EXPECT_FALSE(Plain.Changed);
  EXPECT_EQ(Plain.Echo, "abc");

  // A backspace takes back one byte, also one held from before, and the edit starts there.
  TLineEdit Back = EditLineBytes(
      "ab"
      "xy\bz\b\bq",
      2, 0, true);
  ASSERT_TRUE(Back.Changed);
  EXPECT_EQ(Back.Low, 2);
  EXPECT_EQ(Back.Kept, "q");
  EXPECT_EQ(Back.Echo, "xy\b \bz\b \b\b \bq");
  TLineEdit IntoHeld = EditLineBytes("ab\b", 2, 0, false);
  EXPECT_EQ(IntoHeld.Low, 1);
  EXPECT_EQ(IntoHeld.Kept, "");
  EXPECT_EQ(IntoHeld.Echo, "");

  // Never below the floor (the start of the line, or a line already cut): nothing erased or echoed.
  TLineEdit AtFloor = EditLineBytes("ok\r\n\bq", 4, 4, true);
  EXPECT_EQ(AtFloor.Low, 4);
  EXPECT_EQ(AtFloor.Kept, "q");
  EXPECT_EQ(AtFloor.Echo, "q");

  // A tab fills to the next multiple of 8: five spaces at column 3, eight at column 8.
  EXPECT_EQ(EditLineBytes("abc\t", 0, 0, true).Kept, "abc     ");
  EXPECT_EQ(EditLineBytes("abc\t", 0, 0, true).Echo, "abc     ");
  EXPECT_EQ(EditLineBytes("12345678\tx", 8, 0, false).Kept, std::string(8, ' ') + "x");
}

}  // namespace
}  // namespace vantrel
