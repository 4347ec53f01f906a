// The services of the simulated ONVIF device: one handler per (namespace,
// operation). Tokens name camera C as VS_C (video source), VSC_C (its
// configuration), Profile_C, PTZ_C, Relay_C and DI_C; every profile has
// presets Preset_1..Preset_8 and preset tours Tour_1..Tour_3.
#include <algorithm>
#include <string_view>

#include "dvrsim/onvif_face.h"

namespace dvrlink::sim {

using namespace onvif;

namespace {

constexpr int kPresets = 8;
constexpr int kTours = 3;
constexpr int64_t kMaxPullSeconds = 600;

// Camera C of a token PREFIX + C; -1 when it is not one.
int TokenCamera(const std::string& token, const std::string& prefix, int cameras) {
  if (token.compare(0, prefix.size(), prefix) != 0) return -1;
  std::string digits = token.substr(prefix.size());
  if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  int camera = std::stoi(digits);
  return camera < cameras ? camera : -1;
}

// The number K of a token PREFIX + K within 1..count; 0 when not one.
int TokenNumber(const std::string& token, const std::string& prefix, int count) {
  int n = TokenCamera(token, prefix, count + 1);
  return n >= 1 ? n : 0;
}

std::string Arg(const OnvifFace::Call& call, const char* ns_uri, const char* name) {
  return Text(Child(call.op, ns_uri, name));
}

void AddDateTime(Envelope& e, xmlNodePtr parent, const char* name, DateTime t) {
  xmlNodePtr node = e.Add(parent, ns::kSchema, name);
  xmlNodePtr time = e.Add(node, ns::kSchema, "Time");
  e.Add(time, ns::kSchema, "Hour", std::to_string(t.Hour()));
  e.Add(time, ns::kSchema, "Minute", std::to_string(t.Minute()));
  e.Add(time, ns::kSchema, "Second", std::to_string(t.Second()));
  xmlNodePtr date = e.Add(node, ns::kSchema, "Date");
  e.Add(date, ns::kSchema, "Year", std::to_string(t.Year()));
  e.Add(date, ns::kSchema, "Month", std::to_string(t.Month()));
  e.Add(date, ns::kSchema, "Day", std::to_string(t.Day()));
}

int Number(const xmlNode* parent, const char* group, const char* name) {
  std::string text = PathText(parent, ns::kSchema, {group, name});
  return text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos
             ? -1
             : std::stoi(text);
}

}  // namespace

void OnvifFace::AddServices(Call& call, bool with_capabilities) {
  const std::string base = BaseUrl();
  // Namespaces compared by content: a pointer to the same text may differ between libraries.
  const std::pair<std::string_view, const char*> services[] = {{ns::kDevice, "device_service"},
                                                          {ns::kMedia, "media_service"},
                                                          {ns::kEvents, "events_service"},
                                                          {ns::kPtz, "ptz_service"},
                                                          {ns::kDeviceIo, "deviceio_service"},
                                                          {ns::kRecording, "recording_service"},
                                                          {ns::kSearch, "search_service"},
                                                          {ns::kReplay, "replay_service"}};
  Envelope& e = call.reply;
  xmlNodePtr response = call.Answer(ns::kDevice, "GetServicesResponse");
  for (const auto& [ns_uri, path] : services) {
    if (options_.replay_uri.empty() && (ns_uri == ns::kRecording || ns_uri == ns::kSearch || ns_uri == ns::kReplay)) {
      continue;
    }
    xmlNodePtr service = e.Add(response, ns::kDevice, "Service");
    e.Add(service, ns::kDevice, "Namespace", std::string(ns_uri));
    e.Add(service, ns::kDevice, "XAddr", base + path);
    if (with_capabilities && ns_uri == ns::kDevice) {
      xmlNodePtr caps = e.Add(e.Add(service, ns::kDevice, "Capabilities"), ns::kDevice, "Capabilities");
      xmlNodePtr security = e.Add(caps, ns::kDevice, "Security");
      Envelope::SetAttr(security, "UsernameToken", "true");
      Envelope::SetAttr(security, "HttpDigest", options_.http_digest ? "true" : "false");
    }
    xmlNodePtr version = e.Add(service, ns::kDevice, "Version");
    e.Add(version, ns::kSchema, "Major", std::string("2"));
    e.Add(version, ns::kSchema, "Minor", std::string("60"));
  }
}

void OnvifFace::AddProfile(Call& call, xmlNodePtr parent, const char* element, int camera) {
  Envelope& e = call.reply;
  const std::string c = std::to_string(camera);
  xmlNodePtr profile = e.Add(parent, ns::kMedia, element);
  Envelope::SetAttr(profile, "token", "Profile_" + c);
  Envelope::SetAttr(profile, "fixed", "true");
  e.Add(profile, ns::kSchema, "Name", "Camera " + c);
  xmlNodePtr source = e.Add(profile, ns::kSchema, "VideoSourceConfiguration");
  Envelope::SetAttr(source, "token", "VSC_" + c);
  e.Add(source, ns::kSchema, "Name", "VSC_" + c);
  e.Add(source, ns::kSchema, "UseCount", std::string("1"));
  e.Add(source, ns::kSchema, "SourceToken", "VS_" + c);
  xmlNodePtr bounds = e.Add(source, ns::kSchema, "Bounds");
  for (const char* attr : {"x", "y"}) Envelope::SetAttr(bounds, attr, "0");
  Envelope::SetAttr(bounds, "width", "1920");
  Envelope::SetAttr(bounds, "height", "1080");
  xmlNodePtr encoder = e.Add(profile, ns::kSchema, "VideoEncoderConfiguration");
  Envelope::SetAttr(encoder, "token", "VEC_" + c);
  e.Add(encoder, ns::kSchema, "Name", "VEC_" + c);
  e.Add(encoder, ns::kSchema, "UseCount", std::string("1"));
  e.Add(encoder, ns::kSchema, "Encoding", std::string("H264"));
  xmlNodePtr resolution = e.Add(encoder, ns::kSchema, "Resolution");
  e.Add(resolution, ns::kSchema, "Width", std::string("1920"));
  e.Add(resolution, ns::kSchema, "Height", std::string("1080"));
  e.Add(encoder, ns::kSchema, "Quality", std::string("5"));
  xmlNodePtr rate = e.Add(encoder, ns::kSchema, "RateControl");
  e.Add(rate, ns::kSchema, "FrameRateLimit", std::string("25"));
  e.Add(rate, ns::kSchema, "EncodingInterval", std::string("1"));
  e.Add(rate, ns::kSchema, "BitrateLimit", std::string("4096"));
  xmlNodePtr ptz = e.Add(profile, ns::kSchema, "PTZConfiguration");
  Envelope::SetAttr(ptz, "token", "PTZ_" + c);
  e.Add(ptz, ns::kSchema, "Name", "PTZ_" + c);
  e.Add(ptz, ns::kSchema, "UseCount", std::string("1"));
  e.Add(ptz, ns::kSchema, "NodeToken", "PTZNode_" + c);
}

void OnvifFace::SetRelay(Call& call, const char* ns_uri) {
  const std::string token = Arg(call, ns_uri, "RelayOutputToken");
  const std::string state = Arg(call, ns_uri, "LogicalState");
  int camera = TokenCamera(token, "Relay_", sim_->cameras());
  if (camera < 0 || (state != "active" && state != "inactive")) {
    return call.Fault("ter:InvalidArgVal", "unknown relay '" + token + "' or state '" + state + "'");
  }
  relays_[token] = state == "active";
  RecordOp("SetRelayOutputState " + token + " " + state);
  Notify(Property("tns1:Device/Trigger/Relay", "RelayToken", token, "LogicalState", state == "active"));
  call.Answer(ns_uri, "SetRelayOutputStateResponse");
}

void OnvifFace::RegisterServices() {
  const int cameras = sim_->cameras();
  // ---- device ----
  Register(ns::kDevice, "GetSystemDateAndTime", [this](Call& call) {
    Envelope& e = call.reply;
    xmlNodePtr info = e.Add(call.Answer(ns::kDevice, "GetSystemDateAndTimeResponse"), ns::kDevice, "SystemDateAndTime");
    e.Add(info, ns::kSchema, "DateTimeType", std::string("Manual"));
    e.Add(info, ns::kSchema, "DaylightSavings", std::string("false"));
    const int64_t utc = sim_->clock().UtcNow();
    AddDateTime(e, info, "UTCDateTime", DateTime::FromSerialSeconds(utc + 25569LL * 86400));
    AddDateTime(e, info, "LocalDateTime", zone_.Local(utc));
  });
  Register(ns::kDevice, "SetSystemDateAndTime", [this](Call& call) {
    const std::string type = Arg(call, ns::kDevice, "DateTimeType");
    xmlNodePtr when = Child(call.op, ns::kDevice, "UTCDateTime");
    if (type == "Manual") {
      int year = Number(when, "Date", "Year"), month = Number(when, "Date", "Month"), day = Number(when, "Date", "Day");
      int hour = Number(when, "Time", "Hour"), minute = Number(when, "Time", "Minute");
      int second = Number(when, "Time", "Second");
      if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
          minute > 59 || second < 0 || second > 60) {
        return call.Fault("ter:InvalidArgVal", "a Manual time needs a valid UTCDateTime");
      }
      int64_t utc = UtcFromParts(year, month, day, hour, minute, second);
      int64_t moved = sim_->clock().SetUtc(utc);
      last_time_set_ = FormatUtc(utc);
      Log("clock set to " + last_time_set_ + " UTC (moved " + std::to_string(moved) + " s)");
    } else if (type != "NTP") {
      return call.Fault("ter:InvalidArgVal", "DateTimeType must be Manual or NTP");
    }
    call.Answer(ns::kDevice, "SetSystemDateAndTimeResponse");
  });
  Register(ns::kDevice, "GetDeviceInformation", [this](Call& call) {
    Envelope& e = call.reply;
    xmlNodePtr r = call.Answer(ns::kDevice, "GetDeviceInformationResponse");
    e.Add(r, ns::kDevice, "Manufacturer", std::string("Dvrlink"));
    e.Add(r, ns::kDevice, "Model", std::string("dvrsim ONVIF"));
    e.Add(r, ns::kDevice, "FirmwareVersion", std::string(DvrSimulator::kVersion));
    e.Add(r, ns::kDevice, "SerialNumber", "DVRSIM-" + std::to_string(port_));
    e.Add(r, ns::kDevice, "HardwareId", std::string("dvrsim"));
  });
  Register(ns::kDevice, "GetServices", [this](Call& call) {
    AddServices(call, Arg(call, ns::kDevice, "IncludeCapability") == "true");
  });
  Register(ns::kDevice, "GetServiceCapabilities", [this](Call& call) {
    Envelope& e = call.reply;
    xmlNodePtr caps = e.Add(call.Answer(ns::kDevice, "GetServiceCapabilitiesResponse"), ns::kDevice, "Capabilities");
    xmlNodePtr security = e.Add(caps, ns::kDevice, "Security");
    Envelope::SetAttr(security, "UsernameToken", "true");
    Envelope::SetAttr(security, "HttpDigest", options_.http_digest ? "true" : "false");
  });
  Register(ns::kDevice, "GetCapabilities", [this, cameras](Call& call) {
    Envelope& e = call.reply;
    const std::string base = BaseUrl();
    xmlNodePtr caps = e.Add(call.Answer(ns::kDevice, "GetCapabilitiesResponse"), ns::kDevice, "Capabilities");
    e.Add(e.Add(caps, ns::kSchema, "Device"), ns::kSchema, "XAddr", base + "device_service");
    xmlNodePtr events = e.Add(caps, ns::kSchema, "Events");
    e.Add(events, ns::kSchema, "XAddr", base + "events_service");
    e.Add(events, ns::kSchema, "WSSubscriptionPolicySupport", std::string("false"));
    e.Add(events, ns::kSchema, "WSPullPointSupport", std::string("true"));
    e.Add(events, ns::kSchema, "WSPausableSubscriptionManagerInterfaceSupport", std::string("false"));
    e.Add(e.Add(caps, ns::kSchema, "Media"), ns::kSchema, "XAddr", base + "media_service");
    e.Add(e.Add(caps, ns::kSchema, "PTZ"), ns::kSchema, "XAddr", base + "ptz_service");
    xmlNodePtr io = e.Add(e.Add(caps, ns::kSchema, "Extension"), ns::kSchema, "DeviceIO");
    e.Add(io, ns::kSchema, "XAddr", base + "deviceio_service");
    e.Add(io, ns::kSchema, "VideoSources", std::to_string(cameras));
    e.Add(io, ns::kSchema, "RelayOutputs", std::to_string(cameras));
    if (!options_.replay_uri.empty()) {
      for (const auto& [name, path] : {std::pair{"Recording", "recording_service"}, std::pair{"Search", "search_service"},
                                       std::pair{"Replay", "replay_service"}}) {
        e.Add(e.Add(Child(caps, ns::kSchema, "Extension"), ns::kSchema, name), ns::kSchema, "XAddr", base + path);
      }
    }
  });
  for (const char* ns_uri : {ns::kDevice, ns::kDeviceIo}) {
    Register(ns_uri, "GetRelayOutputs", [this, ns_uri, cameras](Call& call) {
      Envelope& e = call.reply;
      xmlNodePtr r = call.Answer(ns_uri, "GetRelayOutputsResponse");
      for (int c = 0; c < cameras; ++c) {
        xmlNodePtr relay = e.Add(r, ns_uri, "RelayOutputs");
        Envelope::SetAttr(relay, "token", "Relay_" + std::to_string(c));
        xmlNodePtr properties = e.Add(relay, ns::kSchema, "Properties");
        e.Add(properties, ns::kSchema, "Mode", std::string("Bistable"));
        e.Add(properties, ns::kSchema, "DelayTime", std::string("PT0S"));
        e.Add(properties, ns::kSchema, "IdleState", std::string("open"));
      }
    });
    Register(ns_uri, "SetRelayOutputState", [this, ns_uri](Call& call) { SetRelay(call, ns_uri); });
  }
  // ---- DeviceIO ----
  Register(ns::kDeviceIo, "GetDigitalInputs", [cameras](Call& call) {
    xmlNodePtr r = call.Answer(ns::kDeviceIo, "GetDigitalInputsResponse");
    for (int c = 0; c < cameras; ++c) {
      xmlNodePtr input = call.reply.Add(r, ns::kDeviceIo, "DigitalInputs");
      Envelope::SetAttr(input, "token", "DI_" + std::to_string(c));
      Envelope::SetAttr(input, "IdleState", "closed");
    }
  });
  // ---- media ----
  Register(ns::kMedia, "GetProfiles", [this, cameras](Call& call) {
    xmlNodePtr r = call.Answer(ns::kMedia, "GetProfilesResponse");
    for (int c = 0; c < cameras; ++c) AddProfile(call, r, "Profiles", c);
  });
  Register(ns::kMedia, "GetProfile", [this, cameras](Call& call) {
    int camera = TokenCamera(Arg(call, ns::kMedia, "ProfileToken"), "Profile_", cameras);
    if (camera < 0) return call.Fault("ter:NoProfile", "no such profile");
    AddProfile(call, call.Answer(ns::kMedia, "GetProfileResponse"), "Profile", camera);
  });
  Register(ns::kMedia, "GetVideoSources", [cameras](Call& call) {
    Envelope& e = call.reply;
    xmlNodePtr r = call.Answer(ns::kMedia, "GetVideoSourcesResponse");
    for (int c = 0; c < cameras; ++c) {
      xmlNodePtr source = e.Add(r, ns::kMedia, "VideoSources");
      Envelope::SetAttr(source, "token", "VS_" + std::to_string(c));
      e.Add(source, ns::kSchema, "Framerate", std::string("25"));
      xmlNodePtr resolution = e.Add(source, ns::kSchema, "Resolution");
      e.Add(resolution, ns::kSchema, "Width", std::string("1920"));
      e.Add(resolution, ns::kSchema, "Height", std::string("1080"));
    }
  });
  Register(ns::kMedia, "GetStreamUri", [this, cameras](Call& call) {
    int camera = TokenCamera(Arg(call, ns::kMedia, "ProfileToken"), "Profile_", cameras);
    if (camera < 0) return call.Fault("ter:NoProfile", "no such profile");
    Envelope& e = call.reply;
    xmlNodePtr uri = e.Add(call.Answer(ns::kMedia, "GetStreamUriResponse"), ns::kMedia, "MediaUri");
    e.Add(uri, ns::kSchema, "Uri", "rtsp://" + options_.bind_address + ":554/camera" + std::to_string(camera));
    e.Add(uri, ns::kSchema, "InvalidAfterConnect", std::string("false"));
    e.Add(uri, ns::kSchema, "InvalidAfterReboot", std::string("false"));
    e.Add(uri, ns::kSchema, "Timeout", std::string("PT0S"));
  });
  // ---- events ----
  Register(ns::kEvents, "GetEventProperties", [](Call& call) {
    Envelope& e = call.reply;
    xmlNodePtr r = call.Answer(ns::kEvents, "GetEventPropertiesResponse");
    e.Add(r, ns::kEvents, "TopicNamespaceLocation",
          std::string("http://www.onvif.org/onvif/ver10/topics/topicns.xml"));
    e.Add(r, ns::kNotification, "FixedTopicSet", std::string("true"));
    xmlNodePtr set = e.Add(r, ns::kTopicSet, "TopicSet");
    const std::pair<const char*, const char*> topics[] = {
        {"VideoSource", "MotionAlarm"}, {"VideoSource", "SignalLoss"}, {"Device", "Trigger"}};
    for (const auto& [root, leaf] : topics) {
      xmlNodePtr node = e.Add(set, ns::kTopics, root);
      xmlNodePtr child = xmlNewChild(node, nullptr, reinterpret_cast<const xmlChar*>(leaf), nullptr);
      Envelope::SetAttr(child, "topic", "true");
    }
    e.Add(r, ns::kNotification, "TopicExpressionDialect",
          std::string("http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet"));
    e.Add(r, ns::kEvents, "MessageContentFilterDialect",
          std::string("http://www.onvif.org/ver10/tev/messageContentFilter/ItemFilter"));
  });
  Register(ns::kEvents, "CreatePullPointSubscription", [this](Call& call) { CreateSubscription(call); });
  Register(ns::kEvents, "SetSynchronizationPoint", [this](Call& call) {
    int id = 0;
    Subscription* s = FindSubscription(call, id);
    if (!s) return;
    for (Message& m : InitialState()) s->queue.push_back(std::move(m));
    call.Answer(ns::kEvents, "SetSynchronizationPointResponse");
  });
  Register(ns::kNotification, "Renew", [this](Call& call) {
    int id = 0;
    Subscription* s = FindSubscription(call, id);
    if (!s) return;
    const int64_t now = sim_->clock().UtcNow();
    std::optional<int64_t> seconds = ParseDuration(Arg(call, ns::kNotification, "TerminationTime"));
    s->ends_utc = now + std::clamp<int64_t>(seconds.value_or(60), 1, 86400);
    xmlNodePtr r = call.Answer(ns::kNotification, "RenewResponse");
    call.reply.Add(r, ns::kNotification, "TerminationTime", FormatUtc(s->ends_utc));
    call.reply.Add(r, ns::kNotification, "CurrentTime", FormatUtc(now));
  });
  Register(ns::kNotification, "Unsubscribe", [this](Call& call) {
    int id = 0;
    Subscription* s = FindSubscription(call, id);
    if (!s) return;
    Log("subscription " + std::to_string(id) + " ended by the client");
    // A pull still held gets its fault; that ends the subscription too.
    s->ends_utc = 0;
    if (s->waiting) {
      AnswerWaitingPull(id);
    } else {
      subscriptions_.erase(id);
    }
    call.Answer(ns::kNotification, "UnsubscribeResponse");
  });
  // ---- PTZ ----
  auto profile_camera = [cameras](Call& call) {
    int camera = TokenCamera(Arg(call, ns::kPtz, "ProfileToken"), "Profile_", cameras);
    if (camera < 0) call.Fault("ter:NoProfile", "no such profile");
    return camera;
  };
  Register(ns::kPtz, "GetNodes", [cameras](Call& call) {
    Envelope& e = call.reply;
    xmlNodePtr r = call.Answer(ns::kPtz, "GetNodesResponse");
    for (int c = 0; c < cameras; ++c) {
      xmlNodePtr node = e.Add(r, ns::kPtz, "PTZNode");
      Envelope::SetAttr(node, "token", "PTZNode_" + std::to_string(c));
      e.Add(node, ns::kSchema, "Name", "PTZNode_" + std::to_string(c));
      e.Add(node, ns::kSchema, "SupportedPTZSpaces");
      e.Add(node, ns::kSchema, "MaximumNumberOfPresets", std::to_string(kPresets));
      e.Add(node, ns::kSchema, "HomeSupported", std::string("false"));
    }
  });
  Register(ns::kPtz, "GetPresets", [profile_camera](Call& call) {
    if (profile_camera(call) < 0) return;
    xmlNodePtr r = call.Answer(ns::kPtz, "GetPresetsResponse");
    for (int k = 1; k <= kPresets; ++k) {
      xmlNodePtr preset = call.reply.Add(r, ns::kPtz, "Preset");
      Envelope::SetAttr(preset, "token", "Preset_" + std::to_string(k));
      call.reply.Add(preset, ns::kSchema, "Name", "Preset " + std::to_string(k));
    }
  });
  Register(ns::kPtz, "GotoPreset", [this, profile_camera](Call& call) {
    if (profile_camera(call) < 0) return;
    const std::string preset = Arg(call, ns::kPtz, "PresetToken");
    if (!TokenNumber(preset, "Preset_", kPresets)) return call.Fault("ter:NoToken", "no preset '" + preset + "'");
    RecordOp("GotoPreset " + Arg(call, ns::kPtz, "ProfileToken") + " " + preset);
    call.Answer(ns::kPtz, "GotoPresetResponse");
  });
  Register(ns::kPtz, "GetPresetTours", [this, profile_camera](Call& call) {
    if (profile_camera(call) < 0) return;
    const std::string profile = Arg(call, ns::kPtz, "ProfileToken");
    xmlNodePtr r = call.Answer(ns::kPtz, "GetPresetToursResponse");
    for (int k = 1; k <= kTours; ++k) {
      const std::string token = "Tour_" + std::to_string(k);
      xmlNodePtr tour = call.reply.Add(r, ns::kPtz, "PresetTour");
      Envelope::SetAttr(tour, "token", token);
      call.reply.Add(tour, ns::kSchema, "Name", "Tour " + std::to_string(k));
      auto running = running_tours_.find(profile);
      bool touring = running != running_tours_.end() && running->second == token;
      call.reply.Add(call.reply.Add(tour, ns::kSchema, "Status"), ns::kSchema, "State",
                     std::string(touring ? "Touring" : "Idle"));
      call.reply.Add(tour, ns::kSchema, "AutoStart", std::string("false"));
    }
  });
  Register(ns::kPtz, "OperatePresetTour", [this, profile_camera](Call& call) {
    if (profile_camera(call) < 0) return;
    const std::string profile = Arg(call, ns::kPtz, "ProfileToken");
    const std::string tour = Arg(call, ns::kPtz, "PresetTourToken");
    const std::string operation = Arg(call, ns::kPtz, "Operation");
    if (!TokenNumber(tour, "Tour_", kTours)) return call.Fault("ter:NoToken", "no preset tour '" + tour + "'");
    if (operation == "Start") {
      running_tours_[profile] = tour;
    } else if (operation == "Stop") {
      running_tours_.erase(profile);
    } else if (operation != "Pause") {
      return call.Fault("ter:InvalidArgVal", "unknown operation '" + operation + "'");
    }
    RecordOp("OperatePresetTour " + profile + " " + tour + " " + operation);
    call.Answer(ns::kPtz, "OperatePresetTourResponse");
  });
  for (const char* op : {"ContinuousMove", "Stop"}) {
    Register(ns::kPtz, op, [this, op, profile_camera](Call& call) {
      if (profile_camera(call) < 0) return;
      RecordOp(std::string(op) + " " + Arg(call, ns::kPtz, "ProfileToken"));
      call.Answer(ns::kPtz, (std::string(op) + "Response").c_str());
    });
  }
  Register(ns::kPtz, "GetStatus", [this, profile_camera](Call& call) {
    if (profile_camera(call) < 0) return;
    xmlNodePtr status = call.reply.Add(call.Answer(ns::kPtz, "GetStatusResponse"), ns::kPtz, "PTZStatus");
    call.reply.Add(status, ns::kSchema, "UtcTime", FormatUtc(sim_->clock().UtcNow()));
  });
  if (!options_.replay_uri.empty()) RegisterRecordingServices();
}

// ---- recordings (Profile G) ----

void OnvifFace::AddRecordingInformation(Call& call, xmlNodePtr parent, const char* ns_uri, const char* element,
                                        int camera) {
  Envelope& e = call.reply;
  const std::string c = std::to_string(camera);
  xmlNodePtr info = e.Add(parent, ns_uri, element);
  e.Add(info, ns::kSchema, "RecordingToken", "Recording_" + c);
  xmlNodePtr source = e.Add(info, ns::kSchema, "Source");
  e.Add(source, ns::kSchema, "SourceId", "VS_" + c);
  e.Add(source, ns::kSchema, "Name", "Camera " + c);
  e.Add(source, ns::kSchema, "Location", std::string());
  e.Add(source, ns::kSchema, "Description", std::string("dvrsim"));
  e.Add(source, ns::kSchema, "Address", options_.replay_uri + "/" + c);
  e.Add(info, ns::kSchema, "EarliestRecording", FormatUtc(recorded_since_utc_));
  e.Add(info, ns::kSchema, "LatestRecording", FormatUtc(sim_->clock().UtcNow()));
  e.Add(info, ns::kSchema, "Content", "Camera " + c);
  xmlNodePtr track = e.Add(info, ns::kSchema, "Track");
  e.Add(track, ns::kSchema, "TrackToken", std::string("Video"));
  e.Add(track, ns::kSchema, "TrackType", std::string("Video"));
  e.Add(track, ns::kSchema, "Description", std::string("H.264"));
  e.Add(track, ns::kSchema, "DataFrom", FormatUtc(recorded_since_utc_));
  e.Add(track, ns::kSchema, "DataTo", FormatUtc(sim_->clock().UtcNow()));
  e.Add(info, ns::kSchema, "RecordingStatus", std::string("Recording"));
}

void OnvifFace::RegisterRecordingServices() {
  const int cameras = sim_->cameras();
  recorded_since_utc_ = sim_->clock().UtcNow() - 86400;
  Register(ns::kRecording, "GetRecordings", [this, cameras](Call& call) {
    Envelope& e = call.reply;
    xmlNodePtr r = call.Answer(ns::kRecording, "GetRecordingsResponse");
    for (int c = 0; c < cameras; ++c) {
      const std::string n = std::to_string(c);
      xmlNodePtr item = e.Add(r, ns::kRecording, "RecordingItem");
      e.Add(item, ns::kSchema, "RecordingToken", "Recording_" + n);
      xmlNodePtr config = e.Add(item, ns::kSchema, "Configuration");
      xmlNodePtr source = e.Add(config, ns::kSchema, "Source");
      e.Add(source, ns::kSchema, "SourceId", "VS_" + n);
      e.Add(source, ns::kSchema, "Name", "Camera " + n);
      e.Add(config, ns::kSchema, "Content", "Camera " + n);
      e.Add(config, ns::kSchema, "MaximumRetentionTime", FormatDuration(86400));
      xmlNodePtr track = e.Add(e.Add(item, ns::kSchema, "Tracks"), ns::kSchema, "Track");
      e.Add(track, ns::kSchema, "TrackToken", std::string("Video"));
      e.Add(e.Add(track, ns::kSchema, "Configuration"), ns::kSchema, "TrackType", std::string("Video"));
    }
  });
  Register(ns::kSearch, "GetRecordingSummary", [this, cameras](Call& call) {
    Envelope& e = call.reply;
    xmlNodePtr summary = e.Add(call.Answer(ns::kSearch, "GetRecordingSummaryResponse"), ns::kSearch, "Summary");
    e.Add(summary, ns::kSchema, "DataFrom", FormatUtc(recorded_since_utc_));
    e.Add(summary, ns::kSchema, "DataUntil", FormatUtc(sim_->clock().UtcNow()));
    e.Add(summary, ns::kSchema, "NumberRecordings", std::to_string(cameras));
  });
  // Every search finds every recording at once (the scope is not read).
  Register(ns::kSearch, "FindRecordings", [this](Call& call) {
    call.reply.Add(call.Answer(ns::kSearch, "FindRecordingsResponse"), ns::kSearch, "SearchToken",
                   "Search_" + std::to_string(next_search_++));
  });
  Register(ns::kSearch, "GetRecordingSearchResults", [this, cameras](Call& call) {
    if (TokenNumber(Arg(call, ns::kSearch, "SearchToken"), "Search_", next_search_ - 1) == 0) {
      return call.Fault("ter:InvalidArgVal", "unknown search token");
    }
    xmlNodePtr r = call.Answer(ns::kSearch, "GetRecordingSearchResultsResponse");
    xmlNodePtr list = call.reply.Add(r, ns::kSearch, "ResultList");
    call.reply.Add(list, ns::kSchema, "SearchState", std::string("Completed"));
    for (int c = 0; c < cameras; ++c) AddRecordingInformation(call, list, ns::kSchema, "RecordingInformation", c);
  });
  Register(ns::kSearch, "EndSearch", [this](Call& call) {
    call.reply.Add(call.Answer(ns::kSearch, "EndSearchResponse"), ns::kSearch, "Endpoint",
                   FormatUtc(sim_->clock().UtcNow()));
  });
  Register(ns::kReplay, "GetReplayUri", [this, cameras](Call& call) {
    const std::string token = Arg(call, ns::kReplay, "RecordingToken");
    const int camera = TokenCamera(token, "Recording_", cameras);
    if (camera < 0) return call.Fault("ter:InvalidArgVal", "no recording '" + token + "'");
    RecordOp("GetReplayUri " + token);
    call.reply.Add(call.Answer(ns::kReplay, "GetReplayUriResponse"), ns::kReplay, "Uri",
                   options_.replay_uri + "/" + std::to_string(camera));
  });
}

// ---- subscriptions ----

void OnvifFace::CreateSubscription(Call& call) {
  const int64_t now = sim_->clock().UtcNow();
  std::optional<int64_t> seconds = ParseDuration(Arg(call, ns::kEvents, "InitialTerminationTime"));
  const int id = next_subscription_++;
  ++subscriptions_created_;
  Subscription& s = subscriptions_[id];
  s.ends_utc = now + std::clamp<int64_t>(seconds.value_or(60), 1, 86400);
  for (Message& m : InitialState()) s.queue.push_back(std::move(m));
  Envelope& e = call.reply;
  xmlNodePtr r = call.Answer(ns::kEvents, "CreatePullPointSubscriptionResponse");
  xmlNodePtr reference = e.Add(r, ns::kEvents, "SubscriptionReference");
  e.Add(reference, ns::kAddressing, "Address", BaseUrl() + "subscription/" + std::to_string(id));
  e.Add(r, ns::kNotification, "CurrentTime", FormatUtc(now));
  e.Add(r, ns::kNotification, "TerminationTime", FormatUtc(s.ends_utc));
  Log("subscription " + std::to_string(id) + " created, ends " + FormatUtc(s.ends_utc));
}

OnvifFace::Subscription* OnvifFace::FindSubscription(Call& call, int& id) {
  const std::string prefix = "/onvif/subscription/";
  id = call.path.compare(0, prefix.size(), prefix) == 0 ? TokenCamera(call.path, prefix, 1 << 30) : -1;
  auto it = subscriptions_.find(id);
  if (it == subscriptions_.end() || it->second.ends_utc <= sim_->clock().UtcNow()) {
    if (it != subscriptions_.end()) {
      Log("subscription " + std::to_string(id) + " has ended");
      if (!it->second.waiting) subscriptions_.erase(it);
    }
    call.Fault("ter:InvalidArgVal", "unknown or ended subscription " + call.path);
    return nullptr;
  }
  return &it->second;
}

void OnvifFace::FillPull(Call& call, Subscription& s, int limit) {
  Envelope& e = call.reply;
  xmlNodePtr r = call.Answer(ns::kEvents, "PullMessagesResponse");
  e.Add(r, ns::kEvents, "CurrentTime", FormatUtc(sim_->clock().UtcNow()));
  e.Add(r, ns::kEvents, "TerminationTime", FormatUtc(s.ends_utc));
  for (int n = 0; n < limit && !s.queue.empty(); ++n) {
    const Message m = std::move(s.queue.front());
    s.queue.pop_front();
    xmlNodePtr note = e.Add(r, ns::kNotification, "NotificationMessage");
    xmlNodePtr topic = e.Add(note, ns::kNotification, "Topic", m.topic);
    Envelope::SetAttr(topic, "Dialect", "http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet");
    xmlNodePtr message = e.Add(e.Add(note, ns::kNotification, "Message"), ns::kSchema, "Message");
    Envelope::SetAttr(message, "UtcTime", FormatUtc(m.utc));
    if (!m.operation.empty()) Envelope::SetAttr(message, "PropertyOperation", m.operation);
    for (const auto& [group, items] : {std::pair{"Source", &m.source}, std::pair{"Data", &m.data}}) {
      xmlNodePtr list = e.Add(message, ns::kSchema, group);
      for (const auto& [name, value] : *items) {
        xmlNodePtr item = e.Add(list, ns::kSchema, "SimpleItem");
        Envelope::SetAttr(item, "Name", name);
        Envelope::SetAttr(item, "Value", value);
      }
    }
  }
}

bool OnvifFace::PullMessages(Call& call, MHD_Connection* connection, Pending& pending) {
  int id = 0;
  Subscription* s = FindSubscription(call, id);
  if (!s) return true;
  std::string limit_text = Arg(call, ns::kEvents, "MessageLimit");
  int limit = limit_text.empty() || limit_text.size() > 6 || limit_text.find_first_not_of("0123456789") != std::string::npos
                  ? 100
                  : std::max(1, std::stoi(limit_text));
  if (!s->queue.empty() || s->waiting) {
    FillPull(call, *s, limit);
    return true;
  }
  // Nothing yet: the answer waits for a message or the pull's time-out.
  std::optional<int64_t> seconds = ParseDuration(Arg(call, ns::kEvents, "Timeout"));
  MHD_suspend_connection(connection);
  s->waiting = connection;
  s->waiting_pending = &pending;
  s->limit = limit;
  s->timeout = std::make_unique<Timer>(*loop_, [this, id] { AnswerWaitingPull(id); });
  s->timeout->SetInterval(static_cast<int32_t>(std::clamp<int64_t>(seconds.value_or(10), 0, kMaxPullSeconds) * 1000 + 1));
  s->timeout->SetEnabled(true);
  return false;
}

void OnvifFace::AnswerWaitingPull(int id) {
  auto it = subscriptions_.find(id);
  if (it == subscriptions_.end() || !it->second.waiting) return;
  Subscription& s = it->second;
  Call call;
  if (s.ends_utc <= sim_->clock().UtcNow()) {
    call.Fault("ter:InvalidArgVal", "the subscription has ended");
  } else {
    FillPull(call, s, s.limit);
  }
  Pending& pending = *s.waiting_pending;
  pending.ready = true;
  pending.status = call.fault_code.empty() ? 200 : 500;
  pending.answer = call.fault_code.empty() ? call.reply.Serialize()
                                           : FaultEnvelope(call.fault_code, call.fault_subcode, call.fault_reason);
  MHD_Connection* connection = s.waiting;
  s.waiting = nullptr;
  s.waiting_pending = nullptr;
  // The timer may be the caller: it goes on the loop, after its handler.
  std::shared_ptr<Timer> timer(std::move(s.timeout));
  if (timer) timer->SetEnabled(false);
  loop_->Post([timer] {});
  if (!call.fault_code.empty()) subscriptions_.erase(it);
  Resume(connection);
}

}  // namespace dvrlink::sim
