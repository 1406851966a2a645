// Held line bytes and the character editor.
#include "LineBuffer.h"

#include <algorithm>
#include <cstring>

namespace vantrel {

std::string_view TLineBuffer::View(std::int32_t Fresh) const {
  if (Bytes_.empty()) return {};
  return {Bytes_.data() + Head_, static_cast<std::size_t>(Count_ + Fresh)};
}

char* TLineBuffer::PrepareForAppend(std::int32_t Extra) {
  if (Head_ > 0) {
    std::memmove(Bytes_.data(), Bytes_.data() + Head_, static_cast<std::size_t>(Count_));
    Head_ = 0;
  }
  const std::size_t Needed = static_cast<std::size_t>(Count_) + static_cast<std::size_t>(Extra) + 1;
  if (Bytes_.size() < Needed) Bytes_.resize(Needed);
  return Bytes_.data() + Count_;
}

void TLineBuffer::RewriteFrom(std::int32_t Low, std::string_view Bytes) {
  const std::size_t Needed =
      static_cast<std::size_t>(Head_) + static_cast<std::size_t>(Low) + Bytes.size() + 1;
  if (Bytes_.size() < Needed) Bytes_.resize(Needed);
  if (!Bytes.empty()) std::memcpy(Bytes_.data() + Head_ + Low, Bytes.data(), Bytes.size());
  Count_ = Low;
  Searched_ = std::min(Searched_, Low);
}

std::size_t TLineBuffer::FindMarker(const std::string& Marker) {
  // A marker may begin in the last searched bytes and end in new ones.
  const auto Searched = static_cast<std::size_t>(Searched_);
  const std::size_t From = Searched >= Marker.size() ? Searched - Marker.size() + 1 : 0;
  const std::size_t Pos = Held().find(Marker, From);
  if (Pos == std::string_view::npos) Searched_ = Count_;
  return Pos;
}

void TLineBuffer::DropFront(std::int32_t Count) {
  Count = std::clamp(Count, 0, Count_);
  Head_ += Count;
  Count_ -= Count;
  Searched_ = std::max(0, Searched_ - Count);
  if (Count_ == 0) Head_ = 0;
}

std::int32_t TLineBuffer::TakeFront(void* Buffer, std::int32_t Len) {
  const std::int32_t Count = std::min(Len, Count_);
  if (Count > 0) std::memcpy(Buffer, Bytes_.data() + Head_, static_cast<std::size_t>(Count));
  DropFront(Count);
  return Count;
}

void TLineBuffer::Release() {
  std::vector<char>().swap(Bytes_);
  Head_ = 0;
  Count_ = 0;
  Searched_ = 0;
}

TLineEdit EditLineBytes(std::string_view Bytes, std::int32_t Start, std::int32_t Floor, bool Echo) {
  TLineEdit Edit;
  Edit.Low = Start;
  std::int32_t J = Start;  // where the next kept byte goes
  // Made at the first backspace or tab; from then on it holds exactly the J bytes kept.
  std::string Copy;
  const auto End = static_cast<std::int32_t>(Bytes.size());
  for (std::int32_t I = Start; I < End; ++I) {
    const char C = Bytes[static_cast<std::size_t>(I)];
    if ((C == '\b' || C == '\t') && !Edit.Changed) {
      Copy.assign(Bytes.data(), static_cast<std::size_t>(I));
      Edit.Changed = true;
    }
    if (C == '\b') {
      if (J > Floor) {
        if (Echo) Edit.Echo += "\b \b";
        --J;
        Copy.pop_back();
        Edit.Low = std::min(Edit.Low, J);
      }
    } else if (C == '\t') {
      do {
        Copy.push_back(' ');
        ++J;
        if (Echo) Edit.Echo += ' ';
      } while (J % 8 != 0);
    } else {
      if (Echo) Edit.Echo += C;
      if (Edit.Changed) Copy.push_back(C);
      ++J;
    }
  }
  if (Edit.Changed) Edit.Kept = Copy.substr(static_cast<std::size_t>(Edit.Low));
  return Edit;
}

}  // namespace vantrel
