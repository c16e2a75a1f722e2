#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio_engine.h"
#include "platform/pulse/pulse_context.h"
#include "runtime/serial_queue.h"

namespace zarvi::pulse {

// Records one source of the sound server and hands it on in fixed blocks of interleaved float frames.
// The server's thread only copies into a bounded buffer (the oldest audio gives way when it is full);
// the blocks are cut and handed on by work on the given serial queue. The stream stays on its source:
// the server never moves it elsewhere; when the source goes, the stream dies.
class PulseRecorder {
 public:
  using BlockHandler = std::function<void(const float* interleaved, std::size_t frames)>;
  // Called once, on the queue, when a stream that was recording dies (its source or the server gone).
  using DiedHandler = std::function<void()>;

  struct Request {
    std::string sourceName;
    pa_sample_spec sampleSpec{};
    std::size_t blockFrames = 0;
    std::size_t bufferedFrames = 0;  // the bound of what may wait for the queue
  };

  // Starts recording before the deadline; nullptr and the server's error text on failure.
  static std::unique_ptr<PulseRecorder> open(const std::shared_ptr<PulseContext>& context,
                                             const Request& request, runtime::SerialQueue& queue,
                                             BlockHandler onBlock, DiedHandler onDied, Deadline deadline,
                                             std::string& error);
  // Stops recording. When it returns, no handler of this recorder runs or will run.
  ~PulseRecorder();
  PulseRecorder(const PulseRecorder&) = delete;
  // True once the stream died after it was recording; nothing more will come from it.
  bool died() const;
  PulseRecorder& operator=(const PulseRecorder&) = delete;

  // What the server's callbacks and the queue's work share; internal.
  struct Session;

 private:
  PulseRecorder(std::shared_ptr<PulseContext> context, std::shared_ptr<Session> session);

  std::shared_ptr<PulseContext> context_;
  std::shared_ptr<Session> session_;
  pa_stream* stream_ = nullptr;
};

}  // namespace zarvi::pulse
