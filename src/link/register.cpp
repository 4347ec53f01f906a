// Registration of the DVR link objects and of the components that reach the
// DVR's live and event ports, each made on the loop current at creation.
#include "component/host_components.h"
#include "dvr/dvr_api.h"
#include "host/camera_control.h"
#include "link/dvr_event_ctrl_client.h"
#include "link/dvr_link.h"
#include "link/dvr_remote_client.h"
#include "platform/platform_state.h"
#include "host/system_event_control.h"

namespace dvrlink {

void RegisterDvrLinkObjects(ObjectFactory& factory, const DvrLinkOptions& options) {
  factory.Register<IDvrRemote>(kProgIdDvrRemote, [options]() -> std::shared_ptr<IDvrRemote> {
    return std::make_shared<DvrRemoteClient>(Loop(), options);
  });
  factory.Register<IDvrEventCtrl>(kProgIdDvrEventCtrl, [options]() -> std::shared_ptr<IDvrEventCtrl> {
    return std::make_shared<DvrEventCtrlClient>(Loop(), options);
  });
}

void RegisterDvrComponents(ObjectFactory& factory, const DvrLinkOptions& options) {
  factory.Register<ICameraControl>(kProgIdCameraControl, [options]() -> std::shared_ptr<ICameraControl> {
    return std::make_shared<CameraControl>(Loop(), options.reply_timeout_ms);
  });
  factory.Register<ISystemEventControl>(kProgIdSystemEventControl,
                                        [options]() -> std::shared_ptr<ISystemEventControl> {
                                          return std::make_shared<SystemEventControl>(Loop(), options);
                                        });
}

}  // namespace dvrlink
