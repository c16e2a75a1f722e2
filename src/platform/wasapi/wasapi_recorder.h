#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "runtime/serial_queue.h"
#include "platform/wasapi/endpoints.h"

namespace zarvi::wasapi {

// Records one endpoint in shared mode, event-driven, as 32-bit float frames at the endpoint's own mix
// rate and channel count, and hands them on in fixed blocks of interleaved frames. Its capture thread
// only copies into a bounded buffer (the oldest audio gives way when it is full); the blocks are cut
// and handed on by work on the given serial queue. When the endpoint goes (or is reconfigured), the
// stream dies and says so once.
class WasapiRecorder {
 public:
  using BlockHandler = std::function<void(const float* interleaved, std::size_t frames)>;
  // Called once, on the queue, when a stream that was recording dies.
  using DiedHandler = std::function<void()>;

  struct Request {
    std::string endpointId;
    bool loopback = false;  // record what a render endpoint plays
    std::uint32_t rate = 0;
    std::uint16_t channels = 0;
    std::size_t blockFrames = 0;
    std::size_t bufferedFrames = 0;  // the bound of what may wait for the queue
    std::string threadName;
  };

  // Starts recording; nullptr and the error's description on failure.
  static std::unique_ptr<WasapiRecorder> open(const Endpoints& endpoints, const Request& request,
                                              runtime::SerialQueue& queue, BlockHandler onBlock,
                                              DiedHandler onDied, std::string& error);
  // Stops recording. When it returns, no handler of this recorder runs or will run.
  ~WasapiRecorder();
  WasapiRecorder(const WasapiRecorder&) = delete;
  WasapiRecorder& operator=(const WasapiRecorder&) = delete;
  // True once the stream died; nothing more will come from it.
  bool died() const;

  // What the capture thread and the queue's work share; internal.
  struct Session;

 private:
  explicit WasapiRecorder(std::shared_ptr<Session> session);

  std::shared_ptr<Session> session_;
};

}  // namespace zarvi::wasapi
