#include "platform/pulse/pulse_audio_engine.h"

#include <algorithm>

#include "platform/follow/block_frames.h"
#include "platform/pulse/pulse_queries.h"

namespace zarvi::pulse {
namespace {

platform::InputFormat formatOf(const ChosenDevice& device) {
  return {static_cast<double>(device.rate), device.channels, platform::kCommonFormatFloat32, false};
}

}  // namespace

platform::InputFormat PulseAudioEngine::inputFormat() {
  const Deadline deadline = deadlineFromNow();
  formatError_.reset();
  device_.reset();
  std::string error;
  std::optional<ServerDevices> devices;
  if (ensureConnected(context_, "pulse-mic", deadline, error)) {
    PulseContext::Lock hold(*context_);
    devices = queryDevices(*context_, deadline, error);
  }
  const DeviceChoice choice = devices ? chooseMicrophone(*devices) : DeviceChoice{error};
  if (const auto* why = std::get_if<std::string>(&choice)) {
    formatError_ = *why;
    return {};
  }
  device_ = std::get<ChosenDevice>(choice);
  return formatOf(*device_);
}

void PulseAudioEngine::installTap(std::uint32_t bufferFrames, const platform::InputFormat& /*format*/,
                                  platform::TapBlock block) {
  preferredFrames_ = bufferFrames;
  tap_.install(std::move(block));
}

void PulseAudioEngine::removeTap() {
  tap_.remove();
}

PulseRecorder::Request PulseAudioEngine::requestFor(const ChosenDevice& device) const {
  const std::size_t blockFrames = platform::chooseBlockFrames(device.rate, preferredFrames_);
  // A second of audio (at least four blocks) may wait for a host that reads slowly.
  return {device.id,
          {PA_SAMPLE_FLOAT32NE, device.rate, device.channels},
          blockFrames,
          std::max<std::size_t>(device.rate, 4 * blockFrames)};
}

std::optional<std::string> PulseAudioEngine::start(platform::DeviceChangeHandler onDeviceChange) {
  if (formatError_) return formatError_;
  if (!device_) return describePulseError(PA_ERR_BADSTATE);
  // The follower is not running, so its queue is not touching these yet.
  onDeviceChange_ = std::move(onDeviceChange);
  tap_.setChannels(device_->channels);
  // The follower holds the connection while it runs and gives back the one it ended with, which is
  // newer when it had to reconnect: only one connection is ever held.
  auto error = follower_.start(std::move(context_), *device_);
  if (error) context_ = follower_.stop();
  return error;
}

void PulseAudioEngine::stop() {
  context_ = follower_.stop();
}

void PulseAudioEngine::onDeviceChange(platform::DeviceChange change, const std::string& description,
                                      const ChosenDevice* device) {
  if (device != nullptr) tap_.setChannels(device->channels);
  onDeviceChange_({change, description, device != nullptr ? formatOf(*device) : platform::InputFormat{}});
}

}  // namespace zarvi::pulse
