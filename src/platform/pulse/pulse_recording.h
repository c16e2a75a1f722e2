#pragma once

#include <memory>
#include <string>

#include "platform/follow/block_cutter.h"
#include "platform/follow/device_side.h"
#include "platform/pulse/pulse_context.h"

namespace zarvi::pulse {

// Records one source of the sound server into a block cutter, as float frames in the cutter's shape.
// The server's thread only copies into the cutter. The stream stays on its source: the server never
// moves it elsewhere; when the source (or the server) goes after the stream was ready, the stream dies
// and the cutter says so.
class PulseRecording : public platform::Recording {
 public:
  // Starts recording before the deadline.
  static Result<std::unique_ptr<PulseRecording>> open(const std::shared_ptr<PulseContext>& context,
                                                      const std::string& sourceName,
                                                      std::shared_ptr<platform::BlockCutter> cutter,
                                                      Deadline deadline);
  // Stops recording. When it returns, the server's thread no longer writes into the cutter.
  ~PulseRecording() override;
  PulseRecording(const PulseRecording&) = delete;
  PulseRecording& operator=(const PulseRecording&) = delete;

  // What the server's callbacks use; internal.
  struct Session {
    std::shared_ptr<platform::BlockCutter> cutter;
    PulseContext* context = nullptr;
    // Set once the stream was ready; read and written with the mainloop lock held. Before that, a
    // failure is the open's own, never a stream that died mid-run.
    bool ready = false;
  };

 private:
  PulseRecording(std::shared_ptr<PulseContext> context, std::shared_ptr<platform::BlockCutter> cutter);

  std::shared_ptr<PulseContext> context_;
  Session session_;
  pa_stream* stream_ = nullptr;
};

}  // namespace zarvi::pulse
