#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_engine.h"
#include "runtime/result.h"
#include "runtime/serial_queue.h"

namespace zarvi::platform {

// Something whose output sound can be captured. On the sound server: a sink, captured through its monitor.
struct Display {
  std::string name;
  std::string monitorSourceName;
};

struct RunningApplication {
  std::int32_t processID = 0;
  std::string name;
};

struct ShareableContent {
  std::vector<Display> displays;
  std::vector<RunningApplication> applications;
};

struct ContentFilter {
  Display display;
  std::vector<RunningApplication> excludedApplications;
};

struct Time {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
};

struct StreamConfiguration {
  bool capturesAudio = false;
  int sampleRate = 48000;
  int channelCount = 2;
  int width = 0;
  int height = 0;
  Time minimumFrameInterval;
};

// The stream basic description of a sample buffer's audio.
struct StreamBasicDescription {
  double sampleRate = 0.0;
  std::uint32_t formatFlags = 0;
  std::uint32_t bytesPerPacket = 0;
  std::uint32_t framesPerPacket = 0;
  std::uint32_t bytesPerFrame = 0;
  std::uint32_t channelsPerFrame = 0;
  std::uint32_t bitsPerChannel = 0;
};

inline constexpr std::uint32_t kFormatFlagIsFloat = 0x1;
inline constexpr std::uint32_t kFormatFlagIsPacked = 0x8;
inline constexpr std::uint32_t kFormatFlagIsNonInterleaved = 0x20;

// One contiguous run of bytes; pointer may be null when the data could not be reached.
struct ByteRun {
  const void* pointer = nullptr;
  std::int64_t totalLength = 0;
};

struct SampleBuffer {
  bool isValid = true;
  std::optional<StreamBasicDescription> description;  // absent: no format description
  std::optional<ByteRun> data;                        // absent: no data block
};

enum class OutputType { screen = 0, audio = 1 };

class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void didOutput(const SampleBuffer& buffer, OutputType type) = 0;
};

using Completion = std::function<void(Result<> outcome)>;

// A capture stream. Outputs are called on the queue they were added with; they and the queue must
// outlive the stream.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  virtual Result<> addOutput(StreamOutput& output, OutputType type, runtime::SerialQueue& queue) = 0;
  // completion is called once. From then on, until stopCapture(), the stream follows the system's
  // default output and tells onDeviceChange on the audio output's queue. A stream that could not start
  // follows as one whose output was lost: it tells resumed once it records.
  virtual void startCapture(Completion completion, DeviceChangeHandler onDeviceChange) = 0;
  // In place of startCapture, when there was nothing to start on: records nothing now and follows as a
  // stream whose output was lost, until stopCapture().
  virtual void watchForOutput(DeviceChangeHandler onDeviceChange) = 0;
  // completion is called once.
  virtual void stopCapture(Completion completion) = 0;
};

using ContentResult = Result<ShareableContent>;

class CaptureService {
 public:
  virtual ~CaptureService() = default;
  // completion is called once, with the content or the failure.
  virtual void getShareableContent(std::function<void(ContentResult)> completion) = 0;
  virtual std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration) = 0;
};

}  // namespace zarvi::platform
