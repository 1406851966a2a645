#include "WSockbuf.h"

#include <algorithm>
#include <cstring>

namespace vantrel {

TBuffer::TBuffer(std::int32_t Size) {
  SetCapacity(Size);
}

void TBuffer::SetCapacity(std::int32_t Size) {
  if (Size <= 0) Size = DefaultCapacity;
  Size = std::max(Size, WritePos_);
  if (Size == Capacity_ && Storage_) return;
  auto Fresh = std::make_unique<char[]>(static_cast<std::size_t>(Size));
  if (WritePos_ != ReadPos_)
    std::memcpy(Fresh.get(), Storage_.get(), static_cast<std::size_t>(WritePos_));
  Storage_ = std::move(Fresh);
  Capacity_ = Size;
}

std::int32_t TBuffer::Append(const void* Data, std::int32_t Len) {
  const std::int32_t Free = Capacity_ - WritePos_;
  if (Free <= 0 || Len <= 0) return 0;
  const std::int32_t Count = std::min(Len, Free);
  std::memcpy(Storage_.get() + WritePos_, Data, static_cast<std::size_t>(Count));
  WritePos_ += Count;
  return Count;
}

const char* TBuffer::UnreadSpan(std::int32_t& Len) const {
  const std::int32_t Count = WritePos_ - ReadPos_;
  if (Count <= 0) {
    Len = 0;
    return nullptr;
  }
  Len = Count;
  return Storage_.get() + ReadPos_;
}

std::int32_t TBuffer::Consume(std::int32_t Len) {
  const std::int32_t Count = WritePos_ - ReadPos_;
  if (Count <= 0 || Len <= 0) return 0;
  const std::int32_t Taken = std::min(Len, Count);
  ReadPos_ += Taken;
  if (ReadPos_ == WritePos_) ReadPos_ = WritePos_ = 0;
  return Taken;
}

}  // namespace vantrel
