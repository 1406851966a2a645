#include "ForeignLoop.h"

#include <sys/epoll.h>

#include "ThreadQueue.h"

namespace vantrel {

TForeignLoopLink::TForeignLoopLink() : queue_(ThreadQueue::CurrentShared()) {
  queue_->SetExternalWaiter(true);
}

TForeignLoopLink::~TForeignLoopLink() {
  queue_->SetExternalWaiter(false);
}

int TForeignLoopLink::Descriptor() const {
  return queue_->EpollFd();
}

TDescriptorWatch::TDescriptorWatch(int Fd, std::function<void()> OnReadable)
    : queue_(ThreadQueue::CurrentShared()), fd_(Fd) {
  active_ =
      fd_ >= 0 && queue_->AddWatch(fd_, EPOLLIN,
                                   [Handler = std::move(OnReadable)](std::uint32_t) { Handler(); });
}

TDescriptorWatch::~TDescriptorWatch() {
  if (active_) queue_->RemoveWatch(fd_);
}

}  // namespace vantrel
