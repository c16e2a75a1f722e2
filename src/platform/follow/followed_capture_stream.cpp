#include "platform/follow/followed_capture_stream.h"

#include <algorithm>
#include <bit>

namespace zarvi::platform {
namespace {

// 10 ms of audio a buffer.
constexpr std::uint32_t kBuffersPerSecond = 100;

BlockShape shapeFor(const ChosenDevice& device) {
  // Half a second may wait for the queue; the mixer keeps no more than that either.
  return {device.rate, device.channels, std::max<std::uint32_t>(device.rate / kBuffersPerSecond, 1),
          device.rate / 2};
}

}  // namespace

FollowedCaptureStream::FollowedCaptureStream(std::unique_ptr<DeviceSide> side,
                                             std::optional<ChosenDevice> startDevice, FollowTimings timings)
    : side_(std::move(side)), startDevice_(std::move(startDevice)), timings_(timings) {}

Result<> FollowedCaptureStream::addOutput(StreamOutput& output, OutputType type,
                                          runtime::SerialQueue& queue) {
  if (type == OutputType::audio) {
    audioOutput_ = &output;
    audioQueue_ = &queue;
  }
  return {};
}

void FollowedCaptureStream::startCapture(Completion completion, DeviceChangeHandler onDeviceChange) {
  if (!makeSource(std::move(onDeviceChange))) {
    completion(Failure{"no audio output was added to the stream"});
    return;
  }
  completion(source_->start(startDevice_));
}

void FollowedCaptureStream::watchForOutput(DeviceChangeHandler onDeviceChange) {
  if (makeSource(std::move(onDeviceChange))) source_->followFromLost();
}

bool FollowedCaptureStream::makeSource(DeviceChangeHandler onDeviceChange) {
  if (audioOutput_ == nullptr) return false;
  source_ = std::make_unique<FollowedSource>(
      *audioQueue_, *side_, shapeFor, [this](const InterleavedBlock& block) { deliver(block); },
      [onDeviceChange = std::move(onDeviceChange)](DeviceChange change, const std::string& description,
                                                   const ChosenDevice*) {
        onDeviceChange({change, description, {}});
      },
      timings_);
  return true;
}

void FollowedCaptureStream::stopCapture(Completion completion) {
  if (source_) source_->stop();
  completion({});
}

void FollowedCaptureStream::deliver(const InterleavedBlock& block) {
  const auto description = describeInterleavedFloat(block.rate, block.channels);
  const SampleBuffer buffer{
      true, description,
      ByteRun{block.samples, static_cast<std::int64_t>(block.frames * description.bytesPerFrame)}};
  audioOutput_->didOutput(buffer, OutputType::audio);
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
