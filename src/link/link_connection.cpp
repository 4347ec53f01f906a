#include "link/link_connection.h"

#include <poll.h>

namespace dvrlink::link {

LineSplitter::Next LineSplitter::Take(std::string& line) {
  size_t end = buffer_.find('\n', start_);
  if (end == std::string::npos) {
    if (buffer_.size() - start_ > max_line_) return Next::kTooLong;
    // Keep the buffer from growing with consumed lines.
    if (start_ > 0) {
      buffer_.erase(0, start_);
      start_ = 0;
    }
    return Next::kNone;
  }
  if (end - start_ > max_line_) return Next::kTooLong;
  size_t stop = end;
  if (stop > start_ && buffer_[stop - 1] == '\r') --stop;
  line.assign(buffer_, start_, stop - start_);
  start_ = end + 1;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return Next::kLine;
}

std::unique_ptr<LinkConnection> LinkConnection::Connect(EventLoop& loop, const std::string& address,
                                                        uint16_t port, Handlers handlers, size_t max_line) {
  ConnectStart start = StartConnect(address, port);
  bool failed = !start.fd.valid();
  std::unique_ptr<LinkConnection> conn(
      new LinkConnection(loop, std::move(start.fd), !failed, std::move(handlers), max_line));
  if (failed) {
    // Reported on the loop, like every other outcome.
    std::weak_ptr<bool> alive = conn->alive_;
    LinkConnection* self = conn.get();
    std::string reason = start.error;
    loop.Post([alive, self, reason] {
      if (alive.lock()) {
        auto closed = self->handlers_.closed;
        if (closed) closed(reason);
      }
    });
  }
  return conn;
}

std::unique_ptr<LinkConnection> LinkConnection::Adopt(EventLoop& loop, UniqueFd fd, Handlers handlers,
                                                      size_t max_line) {
  return std::unique_ptr<LinkConnection>(new LinkConnection(loop, std::move(fd), false, std::move(handlers), max_line));
}

LinkConnection::LinkConnection(EventLoop& loop, UniqueFd fd, bool connecting, Handlers handlers, size_t max_line)
    : loop_(&loop), fd_(std::move(fd)), connecting_(connecting), handlers_(std::move(handlers)), in_(max_line) {
  if (fd_.valid()) {
    watch_ = loop_->Watch(fd_.get(), connecting_ ? POLLOUT : POLLIN, [this](short revents) { OnReady(revents); });
  }
}

LinkConnection::~LinkConnection() {
  *alive_ = false;
  Close();
}

void LinkConnection::Close() {
  if (watch_ != 0) {
    loop_->Unwatch(watch_);
    watch_ = 0;
  }
  fd_.Reset();
  out_.clear();
}

void LinkConnection::CloseAfterSending() {
  if (out_.empty() || connecting_) {
    Close();
    return;
  }
  close_after_sending_ = true;
}

void LinkConnection::Send(const std::string& line) {
  if (!fd_.valid()) return;
  out_ += line;
  out_ += '\n';
  if (connecting_) return;
  std::string error;
  if (!WriteAvailable(fd_.get(), out_, error)) {
    // Reported when the loop next looks at the socket.
    UpdateWatch();
    return;
  }
  UpdateWatch();
}

void LinkConnection::UpdateWatch() {
  if (watch_ == 0) return;
  short events = connecting_ ? POLLOUT : static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT));
  loop_->SetWatchEvents(watch_, events);
}

void LinkConnection::Fail(const std::string& reason) {
  Close();
  auto closed = handlers_.closed;
  if (closed) closed(reason);
}

void LinkConnection::OnReady(short revents) {
  std::shared_ptr<bool> alive = alive_;
  if (connecting_) {
    std::string failure = FinishConnect(fd_.get());
    if (!failure.empty()) {
      Fail(failure);
      return;
    }
    connecting_ = false;
    UpdateWatch();
    auto connected = handlers_.connected;
    if (connected) connected();
    if (!*alive || !fd_.valid()) return;
    std::string error;
    if (!out_.empty() && !WriteAvailable(fd_.get(), out_, error)) {
      Fail(error);
      return;
    }
    UpdateWatch();
    return;
  }
  if (revents & POLLOUT) {
    std::string error;
    if (!WriteAvailable(fd_.get(), out_, error)) {
      Fail(error);
      return;
    }
    if (out_.empty() && close_after_sending_) {
      Close();
      return;
    }
    UpdateWatch();
  }
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    std::string error;
    ReadResult result = ReadAvailable(fd_.get(), in_.Buffer(), error);
    std::string line;
    while (true) {
      LineSplitter::Next next = in_.Take(line);
      if (next == LineSplitter::Next::kNone) break;
      if (next == LineSplitter::Next::kTooLong) {
        Fail("a line longer than the limit");
        return;
      }
      auto on_line = handlers_.line;
      if (on_line) on_line(line);
      if (!*alive || !fd_.valid()) return;
    }
    if (result == ReadResult::kClosed) {
      Fail("connection closed by the peer");
    } else if (result == ReadResult::kError) {
      Fail(error);
    }
  }
}

bool LinkConnection::SendNow(const std::string& line, SteadyTime deadline, std::string& error) {
  if (!fd_.valid() || connecting_) {
    error = "not connected";
    return false;
  }
  out_ += line;
  out_ += '\n';
  std::string data;
  data.swap(out_);
  bool ok = WriteAllBefore(fd_.get(), data, deadline, error);
  UpdateWatch();
  return ok;
}

bool LinkConnection::TakeBuffered(std::string& line) {
  return fd_.valid() && in_.Take(line) == LineSplitter::Next::kLine;
}

LinkConnection::Wait LinkConnection::WaitLine(std::string& line, SteadyTime deadline, std::string& error) {
  while (fd_.valid()) {
    LineSplitter::Next next = in_.Take(line);
    if (next == LineSplitter::Next::kLine) return Wait::kLine;
    if (next == LineSplitter::Next::kTooLong) {
      error = "a line longer than the limit";
      Close();
      return Wait::kClosed;
    }
    if (!WaitReadable(fd_.get(), deadline)) return Wait::kTimeout;
    ReadResult result = ReadAvailable(fd_.get(), in_.Buffer(), error);
    if (result == ReadResult::kClosed) {
      error = "connection closed by the peer";
      Close();
      return Wait::kClosed;
    }
    if (result == ReadResult::kError) {
      Close();
      return Wait::kClosed;
    }
  }
  error = "not connected";
  return Wait::kClosed;
}

}  // namespace dvrlink::link
