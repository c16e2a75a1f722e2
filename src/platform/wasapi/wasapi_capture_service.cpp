#include "platform/wasapi/wasapi_capture_service.h"

#include <audiopolicy.h>

#include <algorithm>

#include "platform/follow/followed_capture_service.h"
#include "platform/wasapi/wasapi_source_side.h"

namespace zarvi::wasapi {
namespace {

// The processes that have an audio session on the endpoint, named by their sessions.
std::vector<platform::RunningApplication> sessionsOf(const Endpoints& endpoints,
                                                     const std::string& endpointId) {
  std::vector<platform::RunningApplication> applications;
  ComPtr<IMMDevice> device;
  ComPtr<IAudioSessionManager2> manager;
  ComPtr<IAudioSessionEnumerator> sessions;
  int count = 0;
  if (FAILED(endpoints.enumerator().GetDevice(toWide(endpointId).c_str(), device.put())) ||
      FAILED(device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr, manager.putVoid())) ||
      FAILED(manager->GetSessionEnumerator(sessions.put())) || FAILED(sessions->GetCount(&count)))
    return applications;
  for (int i = 0; i < count; ++i) {
    ComPtr<IAudioSessionControl> control;
    ComPtr<IAudioSessionControl2> session;
    DWORD processId = 0;
    if (FAILED(sessions->GetSession(i, control.put())) ||
        FAILED(control->QueryInterface(__uuidof(IAudioSessionControl2), session.putVoid())) ||
        FAILED(session->GetProcessId(&processId)) || processId == 0)
      continue;
    CoTaskMemory<wchar_t> name;
    std::string displayName = SUCCEEDED(session->GetDisplayName(name.put())) ? toUtf8(name.get()) : "";
    if (displayName.empty()) displayName = "process " + std::to_string(processId);
    applications.push_back({static_cast<std::int32_t>(processId), displayName});
  }
  return applications;
}

platform::ContentResult readContent() {
  const ComScope com;
  const auto endpoints = Endpoints::create();
  if (!endpoints) return endpoints.failure();
  const DeviceChoice output = endpoints.value()->defaultEndpoint(eRender);
  platform::ShareableContent content;
  for (const auto& endpoint : endpoints.value()->activeEndpoints(eRender))
    content.displays.push_back({endpoint.description, endpoint.id});
  if (output) {
    const std::string& defaultId = output.value().id;
    std::stable_partition(
        content.displays.begin(), content.displays.end(),
        [&](const platform::Display& display) { return display.monitorSourceName == defaultId; });
    content.applications = sessionsOf(*endpoints.value(), defaultId);
  }
  return content;
}

}  // namespace

std::unique_ptr<platform::CaptureService> makeWasapiCaptureService() {
  return std::make_unique<platform::FollowedCaptureService>(
      readContent, [](const platform::ContentFilter&, const platform::StreamConfiguration&) {
        // Loopback records an endpoint at its own mix format, whatever the configuration asks: each
        // buffer says which format it has. The endpoint is the default one when the stream starts.
        return platform::StreamPlan{std::make_unique<WasapiSourceSide>(
                                        eRender, chooseSystemAudio, systemAudioIsLoopback(), "wasapi-system"),
                                    std::nullopt};
      });
}

}  // namespace zarvi::wasapi
