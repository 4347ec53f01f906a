#include "fakes/fake_host.h"

#include "database/ado_connection.h"
#include "platform/platform_state.h"

namespace dvrlink::testing {

// Posts an event that reaches the fake's sink of the time it runs, if the fake still lives.
template <class Fake, class Event>
void PostToSink(Fake& fake, Event event) {
  std::weak_ptr<Fake> self = fake.weak_from_this();
  Loop().Post([self, event] {
    auto alive = self.lock();
    if (alive && alive->sink()) event(*alive->sink());
  });
}

void FakeDvrRemote::Connect(const std::string& address, int16_t, const std::string&, int32_t& session) {
  ++connects;
  connect_address = address;
  if (on_connect) on_connect();
  session = session_to_give;
}

void FakeDvrRemote::TimeSync(int32_t session, DateTime time) {
  time_syncs.emplace_back(session, time);
  PostToSink(*this, [session](IDvrRemoteEvents& s) { s.OnTimeSyncEvent(session, 2, 0, 0); });
}

void FakeDvrRemote::PostVideoEvent(int32_t session, int32_t reason, int32_t data1, int32_t data2) {
  PostToSink(*this, [=](IDvrRemoteEvents& s) { s.OnGetVideoEvent(session, reason, data1, data2); });
}

void FakeDvrEventCtrl::PostConnected(int32_t session, const std::string& url) {
  PostToSink(*this, [session, url](IDvrEventCtrlEvents& s) { s.OnConnected(session, url); });
}

void FakeDvrEventCtrl::PostConnectError(int32_t session, const std::string& url, const std::string& error) {
  PostToSink(*this, [session, url, error](IDvrEventCtrlEvents& s) { s.OnConnectError(session, url, error); });
}

void FakeDvrEventCtrl::PostDisconnected(int32_t session, const std::string& url) {
  PostToSink(*this, [session, url](IDvrEventCtrlEvents& s) { s.OnDisconnected(session, url); });
}

// Registers prog_id to make a Fake kept in `made`.
template <class Interface, class Fake>
void Keep(ObjectFactory& factory, const char* prog_id, std::vector<std::shared_ptr<Fake>>& made) {
  factory.Register<Interface>(prog_id, [&made] {
    made.push_back(std::make_shared<Fake>());
    return made.back();
  });
}

void RegisterFakes(ObjectFactory& factory, FakeWorld& world) {
  Keep<ISocketServer>(factory, kProgIdSocketServer, world.sockets);
  Keep<ICameraControl>(factory, kProgIdCameraControl, world.cameras);
  Keep<ISystemEventControl>(factory, kProgIdSystemEventControl, world.system_events);
  Keep<IDvrEventCtrl>(factory, kProgIdDvrEventCtrl, world.event_ctrls);
  factory.Register<IDvrRemote>(kProgIdDvrRemote, [w = &world] {
    auto remote = std::make_shared<FakeDvrRemote>();
    if (w->configure_remote) w->configure_remote(*remote);
    w->remotes.push_back(remote);
    return remote;
  });
  factory.Register<IAdoConnection>(kProgIdAdoConnection, [] { return std::make_shared<AdoConnection>(); });
}

}  // namespace dvrlink::testing
