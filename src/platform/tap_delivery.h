#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/capture_service.h"

namespace zarvi::platform {

// The tap end of a microphone engine: interleaved float frames in, planar channel runs out to the
// installed tap. Installing and removing may happen on any thread while blocks are delivered.
class TapDelivery {
 public:
  void install(TapBlock block);
  // When it returns the tap is gone and no call of it is still running.
  void remove();

  // Delivery thread only: the channel count of the frames from now on.
  void setChannels(std::size_t channels) { channels_ = channels; }
  void deliver(const float* interleaved, std::size_t frames);

 private:
  std::mutex tapMutex_;  // held while the tap runs, so remove() waits for a running call
  TapBlock tap_;

  // Delivery thread only.
  std::size_t channels_ = 0;
  std::vector<float> planar_;
  std::vector<const float*> channelRuns_;
};

// The stream basic description of packed, interleaved 32-bit float frames in native byte order.
StreamBasicDescription describeInterleavedFloat(double sampleRate, std::uint32_t channels);

}  // namespace zarvi::platform
