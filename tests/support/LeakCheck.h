// Counts of open descriptors and windows, for tests that must end with nothing left open.
#pragma once

namespace vantrel::test {

// Descriptors open in this process (entries of /proc/self/fd).
int OpenDescriptorCount();

}  // namespace vantrel::test
