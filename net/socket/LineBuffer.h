// The bytes that line mode holds between receives, and the character editor for terminal-style
// peers, as plain code: no socket, window or event. The line layer (LineWSocket.h) keeps only the
// order of its events around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// Whether a line of Length bytes, end marker included, is over Limit (0 or less: no limit).
inline bool LineTooLong(std::int32_t Length, std::int32_t Limit) {
  return Limit > 0 && Length > Limit;
}

// Received bytes not yet handed out, oldest first. Remembers how far the front was searched for
// the end marker without a match, so that a search looks at new bytes only (and at the last
// bytes before them, where a marker may begin).
class TLineBuffer {
 public:
  std::int32_t Count() const { return Count_; }
  std::string_view Held() const { return View(0); }
  // The held bytes followed by Fresh bytes written after them but not yet committed.
  std::string_view View(std::int32_t Fresh) const;

  // Makes room for Extra bytes (and one more) behind the held ones; returns where they go.
  char* PrepareForAppend(std::int32_t Extra);
  void Commit(std::int32_t Got) { Count_ += Got; }
  // Keeps the first Low held bytes and writes Bytes after them, uncommitted: the held bytes from
  // Low on are searched again once committed.
  void RewriteFrom(std::int32_t Low, std::string_view Bytes);

  // Position of the first Marker in the held bytes, or npos, in which case everything held
  // counts as searched.
  std::size_t FindMarker(const std::string& Marker);
  void RestartSearch() { Searched_ = 0; }
  void MarkSearched() { Searched_ = Count_; }

  // Removes up to Count bytes from the front.
  void DropFront(std::int32_t Count);
  // Copies up to Len bytes from the front to Buffer and removes them; returns how many.
  std::int32_t TakeFront(void* Buffer, std::int32_t Len);
  // Frees the memory and forgets everything.
  void Release();

 private:
  std::vector<char> Bytes_;
  std::int32_t Head_ = 0;  // offset of the first held byte
  std::int32_t Count_ = 0;
  std::int32_t Searched_ = 0;
};

// What the character editor made of newly received bytes.
struct TLineEdit {
  bool Changed = false;  // a backspace or tab was met; otherwise the bytes stay as they are
  std::int32_t Low = 0;  // when Changed: the first position that changed
  std::string Kept;      // when Changed: the bytes from Low on
  std::string Echo;      // what to send back when echo is on
};

// Applies backspace and tab editing to Bytes from Start on (the bytes just received; those
// before are held from earlier). A backspace takes back one byte but never reaches below Floor
// (a line already cut); a tab becomes spaces up to the next multiple of 8, counted from the
// front of Bytes. With Echo each kept byte is echoed, each space of a tab too, and an effective
// backspace as back, space, back.
TLineEdit EditLineBytes(std::string_view Bytes, std::int32_t Start, std::int32_t Floor, bool Echo);

}  // namespace vantrel
