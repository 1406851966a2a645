#include "PosixSockets.h"

#include <cerrno>

#include "AsyncSelect.h"
#include "WinMessages.h"
#include "WinSockErrors.h"

namespace vantrel {
namespace {

int PendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, posix::kSolSocket, posix::kSoError, &err, &len) != 0) return errno;
  return err;
}

int BytesWaiting(int fd) {
  int n = 0;
  if (::ioctl(fd, posix::kFionread, &n) != 0) return 0;
  return n;
}

// Windows reports an ICMP port-unreachable on a datagram socket as a reset.
int DatagramErrorCode(int err) {
  return err == ECONNREFUSED ? WSAECONNRESET : WsaErrorFromErrno(err);
}

// Posts one event if the registration asks for it. A window destroyed meanwhile loses it, as on
// Windows; the event counts as posted all the same, so nothing spins.
void Post(const SocketEntry& e, long event, int error) {
  if (e.window == nullptr || (e.mask & event) == 0) return;
  PostMessage(e.window, e.message, e.handle,
              WSAMakeSelectReply(static_cast<WORD>(event), static_cast<WORD>(error)));
}

struct Interest {
  bool watch;
  std::uint32_t events;
};

Interest Desired(const SocketEntry& e) {
  if (e.window == nullptr || e.mask == 0 || e.closed) return {false, 0};
  std::uint32_t ev = 0;
  if (!e.IsStream()) {
    // Datagram sockets are watched from registration on; EPOLLERR carries ICMP errors.
    if (e.readArmed && (e.mask & FD_READ)) ev |= EPOLLIN;
    if (e.writeArmed && (e.mask & FD_WRITE)) ev |= EPOLLOUT;
    return {true, ev};
  }
  switch (e.phase) {
    case spConnecting:
      return {true, EPOLLOUT};
    case spListening:
      return {true, ((e.acceptArmed || !e.acceptMuted) && (e.mask & FD_ACCEPT))
                        ? std::uint32_t{EPOLLIN}
                        : 0u};
    case spConnected:
      break;
    default:
      // A fresh stream socket reports EPOLLOUT|EPOLLHUP, so it is watched only from connect,
      // listen or accept on; a failed one is done.
      return {false, 0};
  }
  if (e.stickyError != 0) return {false, 0};
  if (e.shutRd) {
    // After SHUT_RD Linux reports the read side as ended for good; nothing more to learn there.
  } else if (e.eofSeen) {
    // EPOLLIN stays high at end of stream, so asking for it means "look on the next turn".
    if (e.readRecheck) ev |= EPOLLIN;
  } else {
    if (e.readArmed && (e.mask & FD_READ)) ev |= EPOLLIN;
    if (e.mask & (FD_READ | FD_CLOSE)) ev |= EPOLLRDHUP;
    if (e.oobArmed && (e.mask & FD_OOB) && !e.oobInline) ev |= EPOLLPRI;
  }
  if ((e.writeArmed || !e.writeMuted) && (e.mask & FD_WRITE) && !e.shutWr && !e.hupSeen)
    ev |= EPOLLOUT;
  // EPOLLHUP cannot be masked and stays high: once seen, watch only for a pending look.
  if (e.hupSeen && ev == 0) return {false, 0};
  return {true, ev};
}

void OnReady(const std::weak_ptr<SocketEntry>& weak, std::uint32_t events);

// epoll reported a write or accept condition whose interest stays on after the post (see
// SocketEntry): posts the event while armed, otherwise mutes the interest until the next arming.
void PostOrMute(const SocketEntry& e, bool& armed, bool& muted, long event) {
  if (armed && (e.mask & event)) {
    armed = false;
    muted = false;
    Post(e, event, 0);
  } else {
    muted = true;
  }
}

void Apply(SocketEntry& e) {
  Interest want = Desired(e);
  int fd = e.fd.Get();
  if (!want.watch) {
    if (e.watched) {
      e.queue->RemoveWatch(fd);
      e.watched = false;
    }
    return;
  }
  if (!e.watched) {
    std::weak_ptr<SocketEntry> weak = e.weak_from_this();
    if (!e.queue->AddWatch(fd, want.events,
                           [weak](std::uint32_t events) { OnReady(weak, events); }))
      return;
    e.watched = true;
    e.interest = want.events;
    return;
  }
  if (want.events != e.interest && e.queue->ModifyWatch(fd, want.events)) e.interest = want.events;
}

// Posts FD_READ while data waits and the event is armed, or FD_CLOSE(0) once the stream has
// ended and everything was read.
void LookAtReadSide(SocketEntry& e) {
  int n = BytesWaiting(e.fd.Get());
  if (n > 0) {
    if (e.readArmed && (e.mask & FD_READ)) {
      e.readArmed = false;
      Post(e, FD_READ, 0);
    }
  } else if (e.eofSeen && !e.closePosted && (e.mask & FD_CLOSE)) {
    e.closePosted = true;
    Post(e, FD_CLOSE, 0);
  }
}

void FinishConnect(SocketEntry& e, int err) {
  e.connectErrno = 0;
  if (err == 0) {
    e.phase = spConnected;
    e.bound = true;
    e.readArmed = e.oobArmed = true;
    e.writeArmed = false;  // the FD_WRITE of an established connection goes out right here
    e.writeMuted = true;
    if (e.mask & FD_CONNECT) {
      e.connectPosted = true;
      Post(e, FD_CONNECT, 0);
    }
    Post(e, FD_WRITE, 0);
    return;
  }
  e.phase = spFailed;
  e.connectError = WsaErrorFromErrno(err);
  if (e.mask & FD_CONNECT) {
    e.connectPosted = true;
    Post(e, FD_CONNECT, e.connectError);
  }
}

void ConnectedReady(SocketEntry& e, std::uint32_t ev) {
  if (ev & EPOLLERR) {
    int err = PendingSocketError(e.fd.Get());
    if (err != 0) {
      ConnectionLost(e, WsaCloseErrorFromErrno(err));
      return;
    }
  }
  if (ev & EPOLLOUT) {
    // shutdown leaves the interest to this report: no FD_WRITE once the sending side is shut.
    if (e.shutWr)
      e.writeMuted = true;
    else
      PostOrMute(e, e.writeArmed, e.writeMuted, FD_WRITE);
  }
  if ((ev & EPOLLPRI) && e.oobArmed && (e.mask & FD_OOB)) {
    e.oobArmed = false;
    Post(e, FD_OOB, 0);
  }
  if (ev & EPOLLHUP) e.hupSeen = true;
  if (e.shutRd) return;
  if (ev & (EPOLLRDHUP | EPOLLHUP)) e.eofSeen = true;
  if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
    e.readRecheck = false;
    LookAtReadSide(e);
  }
}

void OnReady(const std::weak_ptr<SocketEntry>& weak, std::uint32_t ev) {
  auto e = weak.lock();
  if (!e || e->closed) return;
  if (!e->IsStream()) {
    if (ev & EPOLLERR) {
      int err = PendingSocketError(e->fd.Get());
      if (err != 0) e->datagramError = DatagramErrorCode(err);
    }
    if ((ev & (EPOLLIN | EPOLLERR)) && e->readArmed && (e->mask & FD_READ)) {
      e->readArmed = false;
      Post(*e, FD_READ, 0);
    }
    if ((ev & EPOLLOUT) && e->writeArmed && (e->mask & FD_WRITE)) {
      e->writeArmed = false;
      Post(*e, FD_WRITE, 0);
    }
  } else {
    switch (e->phase) {
      case spConnecting:
        FinishConnect(*e, e->connectErrno != 0 ? e->connectErrno : PendingSocketError(e->fd.Get()));
        break;
      case spListening:
        if (ev & EPOLLIN) PostOrMute(*e, e->acceptArmed, e->acceptMuted, FD_ACCEPT);
        break;
      case spConnected:
        ConnectedReady(*e, ev);
        break;
      default:
        break;
    }
  }
  Apply(*e);
}

}  // namespace

int SelectEvents(SocketEntry& e, HWND window, UINT message, long mask) {
  if (mask & ~(FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE)) return WSAEINVAL;
  // The watch lives on the epoll of the window's thread, and every later re-enabling call changes
  // it: the registration must come from that thread.
  if (mask != 0 &&
      (!IsWindow(window) || GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId()))
    return WSAEINVAL;
  e.blocking = false;
  if (mask == 0) {
    // Stops new postings at once; what is queued already is still delivered.
    e.window = nullptr;
    e.message = 0;
    e.mask = 0;
    Apply(e);
    return 0;
  }
  auto queue = ThreadQueue::CurrentShared();
  if (e.watched && e.queue != queue) {
    if (!e.queue->IsOwnerThread()) return WSAEINVAL;
    e.queue->RemoveWatch(e.fd.Get());
    e.watched = false;
  }
  e.queue = std::move(queue);
  e.window = window;
  e.message = message;
  e.mask = mask;

  // Arm everything; level-triggered epoll then reports whatever already holds (persistence).
  e.readArmed = e.acceptArmed = e.oobArmed = true;
  e.writeArmed = !e.IsStream() || e.phase == spConnected;
  if (e.IsStream() && e.phase == spConnected && e.eofSeen) e.readRecheck = true;

  // A connect whose outcome was never posted is reported now.
  if (e.connectStarted && !e.connectPosted && (mask & FD_CONNECT) &&
      (e.phase == spConnected || e.phase == spFailed)) {
    e.connectPosted = true;
    Post(e, FD_CONNECT, e.phase == spFailed ? e.connectError : 0);
  }
  // A connection that was lost while nobody listened for FD_CLOSE.
  if (e.IsStream() && e.phase == spConnected && e.stickyError != 0 && !e.closePosted &&
      (mask & FD_CLOSE)) {
    e.closePosted = true;
    Post(e, FD_CLOSE, e.stickyError);
  }
  Apply(e);
  return 0;
}

void ConnectStarted(SocketEntry& e, int immediateErrno) {
  e.phase = spConnecting;
  e.connectStarted = true;
  e.connectPosted = false;
  e.connectErrno = immediateErrno;
  e.bound = true;
  Apply(e);
}

void SettleConnect(SocketEntry& e) {
  if (e.phase != spConnecting) return;
  int err = e.connectErrno;
  if (err == 0) {
    pollfd p{e.fd.Get(), POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0 || (p.revents & (POLLOUT | POLLERR | POLLHUP)) == 0) return;
    err = PendingSocketError(e.fd.Get());
  }
  FinishConnect(e, err);
  Apply(e);
}

void ListenStarted(SocketEntry& e) {
  e.phase = spListening;
  e.acceptArmed = true;
  Apply(e);
}

void ReadCalled(SocketEntry& e) {
  e.readArmed = e.oobArmed = true;
  if (e.IsStream() && e.phase == spConnected && e.eofSeen && !e.shutRd) e.readRecheck = true;
  Apply(e);
}

void AcceptCalled(SocketEntry& e) {
  e.acceptArmed = true;
  Apply(e);
}

void SendWouldBlock(SocketEntry& e) {
  e.writeArmed = true;
  Apply(e);
}

void AcceptedFrom(SocketEntry& listener, SocketEntry& accepted) {
  accepted.phase = spConnected;
  accepted.bound = true;
  accepted.blocking = listener.blocking;
  accepted.lingerOn = listener.lingerOn;
  accepted.lingerSeconds = listener.lingerSeconds;
  if (listener.window == nullptr) return;
  accepted.window = listener.window;
  accepted.message = listener.message;
  accepted.mask = listener.mask;
  accepted.queue = listener.queue;
  // The FD_WRITE of a new connection comes from epoll on the next turn, before any FD_READ of
  // the same turn (ConnectedReady handles the write side first).
  accepted.readArmed = accepted.writeArmed = accepted.oobArmed = true;
  Apply(accepted);
}

void ConnectionLost(SocketEntry& e, int code) {
  if (e.stickyError != 0) return;
  e.stickyError = code;
  if (!e.closePosted && (e.mask & FD_CLOSE)) {
    e.closePosted = true;
    Post(e, FD_CLOSE, code);
  }
  Apply(e);
}

void StopWatching(SocketEntry& e) {
  e.closed = true;
  if (!e.watched) return;
  e.watched = false;
  if (e.queue->IsOwnerThread()) {
    e.queue->RemoveWatch(e.fd.Get());
    return;
  }
  // Watches belong to their thread: remove it there, and keep the descriptor open until then so
  // that its number cannot be reused under the old watch.
  int fd = e.fd.Release();
  e.queue->Post(MSG{nullptr, WM_NULL, 0, 0}, [fd](MSG&) {
    ThreadQueue::Current().RemoveWatch(fd);
    ::close(fd);
    return false;
  });
}

}  // namespace vantrel
