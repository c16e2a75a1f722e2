#include "platform/pulse/pulse_capture_service.h"

#include <algorithm>

#include "platform/pulse/pulse_queries.h"
#include "platform/tap_delivery.h"

namespace zarvi::pulse {

void PulseCaptureService::getShareableContent(std::function<void(platform::ContentResult)> completion) {
  const Deadline deadline = deadlineFromNow();
  std::string error;
  if (!ensureConnected(context_, "pulse-system", deadline, error)) {
    completion(error);
    return;
  }
  platform::ShareableContent content;
  {
    PulseContext::Lock hold(*context_);
    const auto devices = queryDevices(*context_, deadline, error);
    const auto clients = devices ? queryClients(*context_, deadline, error) : std::nullopt;
    if (!clients) {
      completion(error);
      return;
    }
    for (const auto& sink : devices->sinks) content.displays.push_back({sink.name, sink.monitorSourceName});
    std::stable_partition(
        content.displays.begin(), content.displays.end(),
        [&](const platform::Display& display) { return display.name == devices->defaultSinkName; });
    for (const auto& client : *clients) {
      if (client.processId) content.applications.push_back({*client.processId, client.name});
    }
  }
  completion(std::move(content));
}

std::unique_ptr<platform::CaptureStream> PulseCaptureService::makeStream(
    const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration) {
  return std::make_unique<PulseCaptureStream>(*this, std::move(context_), filter.display.monitorSourceName,
                                              configuration);
}

void PulseCaptureService::keepConnection(std::shared_ptr<PulseContext> context) {
  if (context) context_ = std::move(context);
}

PulseCaptureStream::PulseCaptureStream(PulseCaptureService& service, std::shared_ptr<PulseContext> context,
                                       std::string sourceName,
                                       const platform::StreamConfiguration& configuration)
    : service_(service),
      context_(std::move(context)),
      sourceName_(std::move(sourceName)),
      sampleSpec_{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(configuration.sampleRate),
                  static_cast<std::uint8_t>(configuration.channelCount)} {}

std::optional<std::string> PulseCaptureStream::addOutput(platform::StreamOutput& output,
                                                         platform::OutputType type,
                                                         runtime::SerialQueue& queue) {
  if (type == platform::OutputType::audio) {
    audioOutput_ = &output;
    audioQueue_ = &queue;
  }
  return std::nullopt;
}

void PulseCaptureStream::startCapture(platform::Completion completion,
                                      platform::DeviceChangeHandler onDeviceChange) {
  if (audioOutput_ == nullptr || !context_ || !pa_sample_spec_valid(&sampleSpec_)) {
    completion(describePulseError(PA_ERR_INVALID));
    return;
  }
  const pa_sample_spec sampleSpec = sampleSpec_;
  follower_ = std::make_unique<DeviceFollower>(
      "pulse-system", *audioQueue_, chooseSystemAudio,
      [sampleSpec](const ChosenDevice& device) {
        // Half a second may wait for the queue; the mixer keeps no more than that either.
        return PulseRecorder::Request{device.id, sampleSpec, bufferFrames, sampleSpec.rate / 2};
      },
      [this](const float* interleaved, std::size_t frames) { deliver(interleaved, frames); },
      [onDeviceChange = std::move(onDeviceChange)](platform::DeviceChange change,
                                                   const std::string& description, const ChosenDevice*) {
        onDeviceChange({change, description, {}});
      });
  auto error =
      follower_->start(std::move(context_), {sourceName_, sourceName_, sampleSpec.rate, sampleSpec.channels});
  if (error) service_.keepConnection(follower_->stop());
  completion(std::move(error));
}

void PulseCaptureStream::stopCapture(platform::Completion completion) {
  if (follower_) service_.keepConnection(follower_->stop());
  completion(std::nullopt);
}

void PulseCaptureStream::deliver(const float* interleaved, std::size_t frames) {
  const auto description = platform::describeInterleavedFloat(sampleSpec_.rate, sampleSpec_.channels);
  const platform::SampleBuffer buffer{
      true, description,
      platform::ByteRun{interleaved, static_cast<std::int64_t>(frames * description.bytesPerFrame)}};
  audioOutput_->didOutput(buffer, platform::OutputType::audio);
}

}  // namespace zarvi::pulse
