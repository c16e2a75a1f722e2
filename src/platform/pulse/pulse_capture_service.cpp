#include "platform/pulse/pulse_capture_service.h"

#include <algorithm>

#include "platform/follow/followed_capture_stream.h"
#include "platform/pulse/pulse_queries.h"
#include "platform/pulse/pulse_source_side.h"

namespace zarvi::pulse {
namespace {

Result<platform::ShareableContent> readContent(PulseConnection& connection) {
  const Deadline deadline = deadlineFromNow();
  const auto context = connection.ensure(deadline);
  if (!context) return context.failure();
  PulseContext::Lock hold(*context.value());
  const auto devices = queryDevices(*context.value(), deadline);
  if (!devices) return devices.failure();
  const auto clients = queryClients(*context.value(), deadline);
  if (!clients) return clients.failure();
  platform::ShareableContent content;
  for (const auto& sink : devices->sinks) content.displays.push_back({sink.name, sink.monitorSourceName});
  std::stable_partition(
      content.displays.begin(), content.displays.end(),
      [&](const platform::Display& display) { return display.name == devices->defaultSinkName; });
  for (const auto& client : clients.value()) {
    if (client.processId) content.applications.push_back({*client.processId, client.name});
  }
  return content;
}

}  // namespace

void PulseCaptureService::getShareableContent(std::function<void(platform::ContentResult)> completion) {
  completion(readContent(*connection_));
}

std::unique_ptr<platform::CaptureStream> PulseCaptureService::makeStream(
    const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration) {
  const PulseSourceSide::Format format{static_cast<std::uint32_t>(configuration.sampleRate),
                                       static_cast<std::uint8_t>(configuration.channelCount)};
  const std::string& source = filter.display.monitorSourceName;
  return std::make_unique<platform::FollowedCaptureStream>(
      std::make_unique<PulseSourceSide>(connection_, chooseSystemAudio, format),
      ChosenDevice{source, source, format.rate, format.channels});
}

}  // namespace zarvi::pulse
