// This is a public header file.
// Byte streams: the abstract TStream, a file stream and a memory stream.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Component.h"

namespace vantrel {

enum TSeekOrigin : unsigned char { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;  // a stream owns a descriptor or a buffer
  TStream& operator=(const TStream&) = delete;
  // Reads up to count bytes; returns the number read (0 at the end).
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  // Writes count bytes; returns the number written.
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t size) = 0;
  std::int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(std::int64_t pos) { Seek(pos, soBeginning); }
  // Writes all bytes or raises EInOutError ("Stream write error").
  void WriteBuffer(const void* buffer, std::int64_t count);
  // Reads exactly count bytes or raises EInOutError ("Stream read error").
  void ReadBuffer(void* buffer, std::int64_t count);
};

// File open modes.
constexpr unsigned fmCreate = 0xFF00;  // create or truncate, read and write
constexpr unsigned fmOpenRead = 0x0000;
constexpr unsigned fmOpenWrite = 0x0001;
constexpr unsigned fmOpenReadWrite = 0x0002;

// A file opened by name; closed (RAII) when destroyed. Raises EInOutError with a clear message
// ("Cannot create file \"name\". <reason>" / "Cannot open file \"name\". <reason>") on failure.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& fileName, unsigned mode);
  ~TFileStream() override;
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  void SetSize(std::int64_t size) override;
  const std::string& FileName() const { return fileName_; }

 protected:
  // Takes over fd, a descriptor open on fileName, for a file opened in another way.
  TFileStream(std::string fileName, int fd) : fileName_(std::move(fileName)), fd_(fd) {}

 private:
  std::string fileName_;
  int fd_ = -1;
};

// Standard output as a stream, for a document written out as it arrives: the bytes go out
// unchanged. Reads give nothing and seeks stay at 0. Raises EInOutError when a write fails.
class TStdOutputStream : public TStream {
 public:
  TStdOutputStream();
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
  void SetSize(std::int64_t) override {}
};

// A growable in-memory byte stream.
class TMemoryStream : public TStream {
 public:
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t size) override;
  void Clear();
  const char* Memory() const { return data_.data(); }
  std::string AsString() const { return std::string(data_.begin(), data_.end()); }

 private:
  std::vector<char> data_;
  std::int64_t position_ = 0;
};

// File helpers.
bool FileExists(const std::string& fileName);
bool DeleteFile(const std::string& fileName);

}  // namespace vantrel
