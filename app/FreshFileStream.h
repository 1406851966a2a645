// This is an internal header of the Vantrel program.
// TFreshFileStream: a file stream on a file made afresh. Whatever had the name before (a file, or
// a symbolic link, which is removed, never followed) is gone, and the new file is created
// exclusively, so writing to it can reach no other file.
//
// Thread rule: one thread at a time.
#pragma once

#include <string>

#include "Streams.h"

namespace vantrel {

class TFreshFileStream : public TFileStream {
 public:
  // Raises EInOutError ("Cannot create file \"name\". <reason>") when the file cannot be made,
  // also when something takes the name again between the removal and the creation.
  explicit TFreshFileStream(const std::string& FileName);
};

}  // namespace vantrel
