#include "platform/wasapi/wasapi_capture_service.h"

#include <audiopolicy.h>

#include <algorithm>

#include "platform/tap_delivery.h"

namespace zarvi::wasapi {
namespace {

// 10 ms at the endpoint's rate, as the other platforms hand it.
constexpr std::uint32_t kBuffersPerSecond = 100;

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

}  // namespace

void WasapiCaptureService::getShareableContent(std::function<void(platform::ContentResult)> completion) {
  const ComScope com;
  std::string error;
  const auto endpoints = Endpoints::create(error);
  if (!endpoints) {
    completion(error);
    return;
  }
  const DeviceChoice output = endpoints->defaultEndpoint(eRender);
  const auto* defaultOutput = std::get_if<ChosenDevice>(&output);
  platform::ShareableContent content;
  for (const auto& endpoint : endpoints->activeEndpoints(eRender))
    content.displays.push_back({endpoint.description, endpoint.id});
  if (defaultOutput != nullptr) {
    std::stable_partition(
        content.displays.begin(), content.displays.end(),
        [&](const platform::Display& display) { return display.monitorSourceName == defaultOutput->id; });
    content.applications = sessionsOf(*endpoints, defaultOutput->id);
  }
  completion(std::move(content));
}

std::unique_ptr<platform::CaptureStream> WasapiCaptureService::makeStream(
    const platform::ContentFilter& /*filter*/, const platform::StreamConfiguration&) {
  // Loopback records an endpoint at its own mix format, whatever the configuration asks: each buffer
  // says which format it has.
  return std::make_unique<WasapiCaptureStream>();
}

std::optional<std::string> WasapiCaptureStream::addOutput(platform::StreamOutput& output,
                                                          platform::OutputType type,
                                                          runtime::SerialQueue& queue) {
  if (type == platform::OutputType::audio) {
    audioOutput_ = &output;
    audioQueue_ = &queue;
  }
  return std::nullopt;
}

void WasapiCaptureStream::startCapture(platform::Completion completion,
                                       platform::DeviceChangeHandler onDeviceChange) {
  if (audioOutput_ == nullptr) {
    completion(describeResult(E_INVALIDARG));
    return;
  }
  const bool loopback = systemAudioIsLoopback();
  follower_ = std::make_unique<EndpointFollower>(
      *audioQueue_, eRender, chooseSystemAudio,
      [this, loopback](const ChosenDevice& device) {
        // On the queue, just before the recording of the device starts: its buffers have its format.
        rate_ = device.rate;
        channels_ = device.channels;
        const std::size_t bufferFrames = std::max<std::uint32_t>(device.rate / kBuffersPerSecond, 1);
        // Half a second may wait for the queue; the mixer keeps no more than that either.
        return WasapiRecorder::Request{device.id,    loopback,        device.rate,    device.channels,
                                       bufferFrames, device.rate / 2, "wasapi-system"};
      },
      [this](const float* interleaved, std::size_t frames) { deliver(interleaved, frames); },
      [onDeviceChange = std::move(onDeviceChange)](platform::DeviceChange change,
                                                   const std::string& description, const ChosenDevice*) {
        onDeviceChange({change, description, {}});
      });
  auto error = follower_->start(std::nullopt);
  if (error) follower_.reset();
  completion(std::move(error));
}

void WasapiCaptureStream::stopCapture(platform::Completion completion) {
  if (follower_) follower_->stop();
  completion(std::nullopt);
}

void WasapiCaptureStream::deliver(const float* interleaved, std::size_t frames) {
  const auto description = platform::describeInterleavedFloat(rate_, channels_);
  const platform::SampleBuffer buffer{
      true, description,
      platform::ByteRun{interleaved, static_cast<std::int64_t>(frames * description.bytesPerFrame)}};
  audioOutput_->didOutput(buffer, platform::OutputType::audio);
}

}  // namespace zarvi::wasapi
