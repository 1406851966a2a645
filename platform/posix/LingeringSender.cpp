#include "PosixSockets.h"

#include <sys/timerfd.h>

#include <atomic>
#include <cerrno>
#include <memory>

#include "LingeringSender.h"

namespace vantrel {
namespace {

// How often a sender looks at its deadline, and, once everything is written, whether the peer
// has acknowledged the last byte: the system announces neither.
constexpr long kTickMs = 20;

std::atomic<int> liveSenders{0};

void SetResetOnClose(int fd) {
  ::linger reset{1, 0};
  ::setsockopt(fd, posix::kSolSocket, posix::kSoLinger, &reset, sizeof reset);
}

class LingeringSender {
 public:
  LingeringSender(ThreadQueue& queue, UniqueFd socket, UniqueFd timer, std::string bytes,
                  std::int64_t deadlineMs)
      : queue_(queue),
        socket_(std::move(socket)),
        timer_(std::move(timer)),
        bytes_(std::move(bytes)),
        deadlineMs_(deadlineMs) {
    ++liveSenders;
  }
  ~LingeringSender() {
    // Disposed of before the peer took everything: a reset, never an orderly end.
    if (socket_.Valid()) SetResetOnClose(socket_.Get());
    --liveSenders;
  }
  LingeringSender(const LingeringSender&) = delete;
  LingeringSender& operator=(const LingeringSender&) = delete;

  int SocketFd() const { return socket_.Get(); }
  int TimerFd() const { return timer_.Get(); }

  void OnSocket(std::uint32_t events) {
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) Discard();
    if (Finished()) return;
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && !shut_) Write();
    if (!Finished()) UpdateInterest();
  }

  void OnTimer() {
    std::uint64_t expirations = 0;
    if (::read(timer_.Get(), &expirations, sizeof expirations) < 0 && errno == EAGAIN) return;
    if (MonotonicMs() >= deadlineMs_) {
      Finish(true);
    } else if (shut_ && Unacknowledged() == 0) {
      Finish(false);
    }
  }

 private:
  bool Finished() const { return !socket_.Valid(); }

  int Unacknowledged() const {
    int n = 0;
    return ::ioctl(socket_.Get(), posix::kSiocOutq, &n) == 0 ? n : 0;
  }

  // Whatever the peer still sends is read and dropped: unread bytes would turn the close into a
  // reset.
  void Discard() {
    char scratch[4096];
    for (;;) {
      ssize_t r = ::recv(socket_.Get(), scratch, sizeof scratch, 0);
      if (r > 0) continue;
      if (r == 0) {
        peerEnded_ = true;
      } else if (errno == EINTR) {
        continue;
      } else if (errno != EAGAIN) {
        Finish(false);  // the connection is gone; nothing more can be delivered
      }
      return;
    }
  }

  void Write() {
    while (written_ < bytes_.size()) {
      ssize_t r =
          ::send(socket_.Get(), bytes_.data() + written_, bytes_.size() - written_, MSG_NOSIGNAL);
      if (r > 0) {
        written_ += static_cast<std::size_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno == EAGAIN) return;
      Finish(false);
      return;
    }
    bytes_ = std::string();
    ::shutdown(socket_.Get(), SHUT_WR);
    shut_ = true;
  }

  void UpdateInterest() {
    std::uint32_t interest = (shut_ ? 0u : std::uint32_t{EPOLLOUT}) | (peerEnded_ ? 0u : EPOLLIN);
    // With both directions ended the descriptor would report a hang-up on every turn; the timer
    // alone watches the last acknowledgement.
    if (interest == 0) {
      queue_.RemoveWatch(socket_.Get());
    } else if (interest != interest_) {
      queue_.ModifyWatch(socket_.Get(), interest);
    }
    interest_ = interest;
  }

  // Ends the sender; it is destroyed when the handler that called this returns.
  void Finish(bool reset) {
    if (reset) SetResetOnClose(socket_.Get());
    queue_.RemoveWatch(socket_.Get());
    queue_.RemoveWatch(timer_.Get());
    socket_.Reset();
    timer_.Reset();
  }

  ThreadQueue& queue_;  // owns this sender through its watches
  UniqueFd socket_;
  UniqueFd timer_;
  std::string bytes_;
  std::size_t written_ = 0;
  std::int64_t deadlineMs_;
  std::uint32_t interest_ = EPOLLOUT | EPOLLIN;
  bool shut_ = false;
  bool peerEnded_ = false;
};

}  // namespace

bool StartLingeringSender(ThreadQueue& queue, UniqueFd descriptor, std::string bytes,
                          int timeoutSeconds) {
  UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  const itimerspec period{{0, kTickMs * 1000000}, {0, kTickMs * 1000000}};
  if (!timer.Valid() || ::timerfd_settime(timer.Get(), 0, &period, nullptr) != 0) {
    SetResetOnClose(descriptor.Get());
    return false;
  }
  const std::int64_t deadline = MonotonicMs() + 1000LL * (timeoutSeconds > 0 ? timeoutSeconds : 0);
  auto sender = std::make_shared<LingeringSender>(queue, std::move(descriptor), std::move(timer),
                                                  std::move(bytes), deadline);
  // Both watches share the sender: it lives until both are removed and their handlers return.
  if (!queue.AddWatch(sender->TimerFd(), EPOLLIN, [sender](std::uint32_t) { sender->OnTimer(); }))
    return false;
  if (!queue.AddWatch(sender->SocketFd(), EPOLLOUT | EPOLLIN,
                      [sender](std::uint32_t events) { sender->OnSocket(events); })) {
    queue.RemoveWatch(sender->TimerFd());
    return false;
  }
  return true;
}

int LingeringSenderCount() {
  return liveSenders;
}

}  // namespace vantrel
