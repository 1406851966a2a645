// A std::mutex that gives back what the system lent it when it is destroyed.
#pragma once

#include <mutex>

#ifdef _WIN32
#include <pthread.h>
#endif

namespace vantrel::test {

// With MinGW-w64's POSIX threads a std::mutex makes an event the first time two threads contend
// for it, and its destructor (trivial in the standard library) never frees it: each such mutex
// would read as a leaked handle. Locks over it are std::unique_lock<std::mutex>, so that
// std::condition_variable can wait on them.
class Mutex : public std::mutex {
 public:
  Mutex() = default;
#ifdef _WIN32
  ~Mutex() {
    pthread_mutex_destroy(native_handle());
  }
#endif
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
};

using Lock = std::unique_lock<std::mutex>;

}  // namespace vantrel::test
