// This is a public header file.
// TBuffer: one fixed-size block of a socket's send queue.
//
// Thread rule: a block belongs to the socket that owns it and is used on that socket's thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "Component.h"

namespace vantrel {

// Bytes are appended at WritePos and taken out from ReadPos; when the last unread byte is taken,
// both positions return to 0 so the block is refilled from its start.
class TBuffer : public TObject {
 public:
  static constexpr std::int32_t DefaultCapacity = 1514;

  // Size <= 0 means DefaultCapacity.
  explicit TBuffer(std::int32_t Size = DefaultCapacity);
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  // Reallocates the storage, keeping the bytes written so far (never shrinks below WritePos).
  void SetCapacity(std::int32_t Size);
  // Copies as many of Len bytes as fit; returns the number taken.
  std::int32_t Append(const void* Data, std::int32_t Len);
  // The unread bytes: returns their address and sets Len, or null with Len = 0 when none.
  // The pointer stays valid until the next Append, Consume or SetCapacity.
  const char* UnreadSpan(std::int32_t& Len) const;
  // Marks up to Len unread bytes as taken; returns the number removed.
  std::int32_t Consume(std::int32_t Len);

  std::int32_t Capacity() const { return Capacity_; }
  std::int32_t WritePos() const { return WritePos_; }
  std::int32_t ReadPos() const { return ReadPos_; }

 private:
  std::unique_ptr<char[]> Storage_;
  std::int32_t Capacity_ = 0;
  std::int32_t WritePos_ = 0;
  std::int32_t ReadPos_ = 0;
};

}  // namespace vantrel
