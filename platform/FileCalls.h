// An internal header of the platform layer: the few file calls of the file streams, on the C
// runtime's descriptors of each system (posix/FileCallsPosix.cpp, win/FileCallsWin.cpp). Each
// makes one attempt and reports failure with -1 (false) and errno.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel::filecalls {

// Flags as for open(2) (O_RDONLY, O_WRONLY, O_RDWR, O_CREAT, O_TRUNC); the descriptor is not
// inherited by child processes, and on Windows reads and writes bytes unchanged.
int Open(const std::string& FileName, int Flags);
// Creates FileName for reading and writing; fails when the name exists, also as a link.
int CreateNew(const std::string& FileName);
int Close(int Fd);
std::int64_t Read(int Fd, void* Buffer, std::int64_t Count);
std::int64_t Write(int Fd, const void* Buffer, std::int64_t Count);
std::int64_t Seek(int Fd, std::int64_t Offset, int Whence);
int Truncate(int Fd, std::int64_t Size);
// Bytes written to the descriptor go out unchanged (Windows' runtime translates line ends in its
// text mode, the mode of the standard descriptors).
void MakeBinary(int Fd);
// An existing file that is not a folder.
bool IsFile(const std::string& FileName);
bool Remove(const std::string& FileName);

}  // namespace vantrel::filecalls
