#include "platform/tap_delivery.h"

#include <bit>

namespace zarvi::platform {

void TapDelivery::install(TapBlock block) {
  const std::lock_guard<std::mutex> hold(tapMutex_);
  tap_ = std::move(block);
}

void TapDelivery::remove() {
  const std::lock_guard<std::mutex> hold(tapMutex_);
  tap_ = nullptr;
}

void TapDelivery::deliver(const float* interleaved, std::size_t frames) {
  const std::size_t channels = channels_;
  planar_.resize(frames * channels);
  channelRuns_.resize(channels);
  for (std::size_t c = 0; c < channels; ++c) {
    float* run = planar_.data() + c * frames;
    channelRuns_[c] = run;
    for (std::size_t f = 0; f < frames; ++f) run[f] = interleaved[f * channels + c];
  }
  const TapBuffer buffer{channelRuns_.data(), static_cast<std::uint32_t>(frames)};
  const std::lock_guard<std::mutex> hold(tapMutex_);
  if (tap_) tap_(buffer);
}

StreamBasicDescription describeInterleavedFloat(double sampleRate, std::uint32_t channels) {
  const std::uint32_t bytesPerFrame = 4U * channels;
  StreamBasicDescription description;
  description.sampleRate = sampleRate;
  description.formatFlags =
      kFormatFlagIsFloat | kFormatFlagIsPacked | (std::endian::native == std::endian::big ? 0x2U : 0U);
  description.bytesPerPacket = bytesPerFrame;
  description.framesPerPacket = 1;
  description.bytesPerFrame = bytesPerFrame;
  description.channelsPerFrame = channels;
  description.bitsPerChannel = 32;
  return description;
}

}  // namespace zarvi::platform
