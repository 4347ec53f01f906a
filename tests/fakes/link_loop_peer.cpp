#include "fakes/link_loop_peer.h"

#include <poll.h>

#include "link/link_protocol.h"

namespace dvrlink::testing {

LinkLoopPeer::LinkLoopPeer(EventLoop& loop) : loop_(&loop) {
  std::string error;
  listen_ = link::ListenOn("127.0.0.1", 0, error);
  if (!listen_.valid()) return;
  port_ = link::LocalPort(listen_.get());
  watch_ = loop.Watch(listen_.get(), POLLIN, [this](short) {
    while (true) {
      link::UniqueFd fd = link::AcceptOne(listen_.get());
      if (!fd.valid()) return;
      link::LinkConnection::Handlers h;
      h.line = [this](const std::string& line) { received_.push_back(line); };
      conns_.push_back(link::LinkConnection::Adopt(*loop_, std::move(fd), std::move(h), link::kMaxLineBytes));
    }
  });
}

LinkLoopPeer::~LinkLoopPeer() {
  if (watch_ != 0) loop_->Unwatch(watch_);
}

void LinkLoopPeer::Send(const std::string& text) {
  if (!conns_.empty()) conns_.back()->Send(text);
}

void LinkLoopPeer::CloseAll() {
  for (auto& conn : conns_) conn->Close();
}

}  // namespace dvrlink::testing
