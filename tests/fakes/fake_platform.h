#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/capture_service.h"
#include "platform/platform.h"

namespace zarvi::fakes {

// The scripts name a failure by its description; none is success.
inline Result<> outcomeOf(const std::optional<std::string>& error) {
  if (error) return Failure{*error};
  return {};
}

// What a fake engine was told to do and what it saw; shared between the engine and the test.
struct EngineScript {
  platform::InputFormat format{48000.0, 2, platform::kCommonFormatFloat32, false, "built-in-mic"};
  std::optional<std::string> startError;
  // Told from a thread of its own as soon as the engine follows, as a device found at once is.
  std::optional<platform::DeviceEvent> eventAtOnce;
  std::thread teller;

  int installs = 0;
  int removals = 0;
  int starts = 0;
  int stops = 0;
  bool running = false;
  std::uint32_t requestedFrames = 0;
  platform::TapBlock tap;
  platform::DeviceChangeHandler onDeviceChange;

  int tapsInstalled() const { return installs - removals; }
  // Plays the engine's delivery thread: one buffer to the tap, if there is one.
  void deliver(const platform::TapBuffer& buffer) const {
    if (tap) tap(buffer);
  }
  // Plays the engine following the default input device.
  void changeDevice(const platform::DeviceEvent& event) const {
    if (onDeviceChange) onDeviceChange(event);
  }
};

class FakeAudioEngine : public platform::AudioEngine {
 public:
  explicit FakeAudioEngine(std::shared_ptr<EngineScript> script) : script_(std::move(script)) {}
  platform::InputFormat inputFormat() override { return script_->format; }
  void installTap(std::uint32_t bufferFrames, const platform::InputFormat&,
                  platform::TapBlock block) override {
    ++script_->installs;
    script_->requestedFrames = bufferFrames;
    script_->tap = std::move(block);
  }
  void removeTap() override {
    ++script_->removals;
    script_->tap = nullptr;
  }
  Result<> start(platform::DeviceChangeHandler onDeviceChange) override {
    ++script_->starts;
    // Running or not, it follows the default input device until stop().
    script_->onDeviceChange = std::move(onDeviceChange);
    if (script_->eventAtOnce) {
      script_->teller =
          std::thread([tell = script_->onDeviceChange, event = *script_->eventAtOnce] { tell(event); });
    }
    if (script_->startError) return Failure{*script_->startError};
    script_->running = true;
    return {};
  }
  void stop() override {
    ++script_->stops;
    script_->running = false;
    script_->onDeviceChange = nullptr;
  }

 private:
  std::shared_ptr<EngineScript> script_;
};

// One stream the fake service made, with what it was given.
struct StreamRecord {
  platform::ContentFilter filter;
  platform::StreamConfiguration configuration;
  std::vector<std::pair<platform::StreamOutput*, platform::OutputType>> outputs;
  runtime::SerialQueue* audioQueue = nullptr;
  platform::DeviceChangeHandler onDeviceChange;
  bool started = false;
  bool watching = false;  // for an output, with nothing started
  bool stopped = false;
  bool destroyed = false;

  // Plays the stream: hands a buffer to every output of the type, on the queue they were added with.
  void deliver(const platform::SampleBuffer& buffer, platform::OutputType type) const {
    for (const auto& [output, outputType] : outputs) {
      if (outputType != type) continue;
      audioQueue->sync([&, receiver = output] { receiver->didOutput(buffer, type); });
    }
  }
  // Plays the stream following the default output, on the audio output's queue.
  void changeDevice(const platform::DeviceEvent& event) const {
    audioQueue->sync([&] { onDeviceChange(event); });
  }
};

struct ServiceScript {
  std::optional<std::string> contentError;
  platform::ShareableContent content{{{"speaker", "speaker.monitor"}}, {}};
  std::optional<std::string> addAudioError;
  std::optional<std::string> addScreenError;
  std::optional<std::string> startError;
  std::optional<std::string> stopError;
  // Told from a thread of its own as soon as a stream follows, as an output found at once is.
  std::optional<platform::DeviceEvent> eventAtOnce;
  std::thread teller;

  int contentQueries = 0;
  std::vector<std::shared_ptr<StreamRecord>> streams;
};

class FakeCaptureStream : public platform::CaptureStream {
 public:
  FakeCaptureStream(std::shared_ptr<ServiceScript> script, std::shared_ptr<StreamRecord> record)
      : script_(std::move(script)), record_(std::move(record)) {}
  ~FakeCaptureStream() override { record_->destroyed = true; }

  Result<> addOutput(platform::StreamOutput& output, platform::OutputType type,
                     runtime::SerialQueue& queue) override {
    const auto& error =
        type == platform::OutputType::audio ? script_->addAudioError : script_->addScreenError;
    if (error) return Failure{*error};
    record_->outputs.emplace_back(&output, type);
    record_->audioQueue = &queue;
    return {};
  }
  void startCapture(platform::Completion completion, platform::DeviceChangeHandler onDeviceChange) override {
    record_->onDeviceChange = std::move(onDeviceChange);
    tellAtOnce();
    record_->started = !script_->startError;
    completion(outcomeOf(script_->startError));
  }
  void watchForOutput(platform::DeviceChangeHandler onDeviceChange) override {
    record_->onDeviceChange = std::move(onDeviceChange);
    record_->watching = true;
    tellAtOnce();
  }
  void stopCapture(platform::Completion completion) override {
    record_->stopped = true;
    completion(outcomeOf(script_->stopError));
  }

 private:
  void tellAtOnce() {
    if (!script_->eventAtOnce) return;
    script_->teller =
        std::thread([tell = record_->onDeviceChange, event = *script_->eventAtOnce] { tell(event); });
  }

  std::shared_ptr<ServiceScript> script_;
  std::shared_ptr<StreamRecord> record_;
};

class FakeCaptureService : public platform::CaptureService {
 public:
  explicit FakeCaptureService(std::shared_ptr<ServiceScript> script) : script_(std::move(script)) {}
  void getShareableContent(std::function<void(platform::ContentResult)> completion) override {
    ++script_->contentQueries;
    if (script_->contentError) {
      completion(Failure{*script_->contentError});
    } else {
      completion(script_->content);
    }
  }
  std::unique_ptr<platform::CaptureStream> makeStream(
      const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration) override {
    auto record = std::make_shared<StreamRecord>();
    record->filter = filter;
    record->configuration = configuration;
    script_->streams.push_back(record);
    return std::make_unique<FakeCaptureStream>(script_, record);
  }

 private:
  std::shared_ptr<ServiceScript> script_;
};

class FakePlatform : public platform::Platform {
 public:
  std::shared_ptr<EngineScript> engine = std::make_shared<EngineScript>();
  std::shared_ptr<ServiceScript> service = std::make_shared<ServiceScript>();
  int enginesMade = 0;
  std::int32_t pid = 4242;

  std::unique_ptr<platform::AudioEngine> makeAudioEngine() override {
    ++enginesMade;
    return std::make_unique<FakeAudioEngine>(engine);
  }
  platform::CaptureService& captureService() override { return captureService_; }
  std::int32_t processIdentifier() override { return pid; }

 private:
  FakeCaptureService captureService_{service};
};

}  // namespace zarvi::fakes
