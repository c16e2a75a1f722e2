#include "platform/wasapi/wasapi_audio_engine.h"

#include <audioclient.h>

#include <algorithm>

#include "platform/follow/block_frames.h"

namespace zarvi::wasapi {
namespace {

platform::InputFormat formatOf(const ChosenDevice& device) {
  return {static_cast<double>(device.rate), device.channels, platform::kCommonFormatFloat32, false};
}

}  // namespace

platform::InputFormat WasapiAudioEngine::inputFormat() {
  const ComScope com;
  formatError_.reset();
  device_.reset();
  std::string error;
  const auto endpoints = Endpoints::create(error);
  const DeviceChoice choice = endpoints ? chooseMicrophone(*endpoints) : DeviceChoice{error};
  if (const auto* why = std::get_if<std::string>(&choice)) {
    formatError_ = *why;
    return {};
  }
  device_ = std::get<ChosenDevice>(choice);
  return formatOf(*device_);
}

void WasapiAudioEngine::installTap(std::uint32_t bufferFrames, const platform::InputFormat& /*format*/,
                                   platform::TapBlock block) {
  preferredFrames_ = bufferFrames;
  tap_.install(std::move(block));
}

void WasapiAudioEngine::removeTap() {
  tap_.remove();
}

WasapiRecorder::Request WasapiAudioEngine::requestFor(const ChosenDevice& device) const {
  const std::size_t blockFrames = platform::chooseBlockFrames(device.rate, preferredFrames_);
  // A second of audio (at least four blocks) may wait for a host that reads slowly.
  return {device.id,       false,       device.rate,
          device.channels, blockFrames, std::max<std::size_t>(device.rate, 4 * blockFrames),
          "wasapi-mic"};
}

std::optional<std::string> WasapiAudioEngine::start(platform::DeviceChangeHandler onDeviceChange) {
  if (formatError_) return formatError_;
  if (!device_) return describeResult(AUDCLNT_E_NOT_INITIALIZED);
  // The follower is not running, so its queue is not touching these yet.
  onDeviceChange_ = std::move(onDeviceChange);
  tap_.setChannels(device_->channels);
  return follower_.start(*device_);
}

void WasapiAudioEngine::stop() {
  follower_.stop();
}

void WasapiAudioEngine::onDeviceChange(platform::DeviceChange change, const std::string& description,
                                       const ChosenDevice* device) {
  if (device != nullptr) tap_.setChannels(device->channels);
  onDeviceChange_({change, description, device != nullptr ? formatOf(*device) : platform::InputFormat{}});
}

}  // namespace zarvi::wasapi
