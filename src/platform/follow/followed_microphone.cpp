#include "platform/follow/followed_microphone.h"

#include <algorithm>

#include "platform/follow/block_frames.h"

namespace zarvi::platform {
namespace {

InputFormat formatOf(const ChosenDevice& device) {
  return {static_cast<double>(device.rate), device.channels, kCommonFormatFloat32, false, device.id};
}

}  // namespace

FollowedMicrophone::FollowedMicrophone(std::unique_ptr<DeviceSide> side, FollowTimings timings)
    : side_(std::move(side)),
      source_(
          delivery_, *side_, [this](const ChosenDevice& device) { return shapeFor(device); },
          [this](const InterleavedBlock& block) { deliver(block); },
          [this](DeviceChange change, const std::string& description, const ChosenDevice* device) {
            onDeviceChange(change, description, device);
          },
          timings) {}

InputFormat FollowedMicrophone::inputFormat() {
  auto look = source_.lookAtDevices();
  device_ = look ? std::move(look.value()) : DeviceChoice(look.failure());
  return *device_ ? formatOf(device_->value()) : InputFormat{};
}

void FollowedMicrophone::installTap(std::uint32_t bufferFrames, const InputFormat& /*format*/,
                                    TapBlock block) {
  preferredFrames_ = bufferFrames;
  const std::lock_guard<std::mutex> hold(tapMutex_);
  tap_ = std::move(block);
}

void FollowedMicrophone::removeTap() {
  const std::lock_guard<std::mutex> hold(tapMutex_);
  tap_ = nullptr;
}

BlockShape FollowedMicrophone::shapeFor(const ChosenDevice& device) const {
  const std::size_t blockFrames = chooseBlockFrames(device.rate, preferredFrames_);
  // A second of audio (at least four blocks) may wait for a host that reads slowly.
  return {device.rate, device.channels, blockFrames, std::max<std::size_t>(device.rate, 4 * blockFrames)};
}

Result<> FollowedMicrophone::start(DeviceChangeHandler onDeviceChange) {
  if (!device_) inputFormat();
  // The source is not running, so its queue is not touching this yet.
  onDeviceChange_ = std::move(onDeviceChange);
  return source_.start(*device_);
}

void FollowedMicrophone::stop() {
  source_.stop();
}

void FollowedMicrophone::deliver(const InterleavedBlock& block) {
  const std::size_t channels = block.channels;
  const std::size_t frames = block.frames;
  planar_.resize(frames * channels);
  channelRuns_.resize(channels);
  for (std::size_t c = 0; c < channels; ++c) {
    float* run = planar_.data() + c * frames;
    channelRuns_[c] = run;
    for (std::size_t f = 0; f < frames; ++f) run[f] = block.samples[f * channels + c];
  }
  const TapBuffer buffer{channelRuns_.data(), static_cast<std::uint32_t>(frames)};
  const std::lock_guard<std::mutex> hold(tapMutex_);
  if (tap_) tap_(buffer);
}

void FollowedMicrophone::onDeviceChange(DeviceChange change, const std::string& description,
                                        const ChosenDevice* device) {
  onDeviceChange_({change, description, device != nullptr ? formatOf(*device) : InputFormat{}});
}

}  // namespace zarvi::platform
