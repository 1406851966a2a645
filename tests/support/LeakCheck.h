// Counts of open descriptors and windows, for tests that must end with nothing left open.
#pragma once

namespace vantrel::test {

// Descriptors open in this process: entries of /proc/self/fd on Linux, the process's entries in the
// system's handle table on Windows (sockets, events, threads and files alike).
int OpenDescriptorCount();

}  // namespace vantrel::test
