#pragma once

#include <memory>
#include <string>

#include "platform/follow/block_cutter.h"
#include "platform/follow/device_side.h"
#include "platform/wasapi/endpoints.h"

namespace zarvi::wasapi {

// Records one endpoint in shared mode, event-driven, as 32-bit float frames in the cutter's shape (the
// endpoint's own mix rate and channel count). Its capture thread only copies into the cutter. When the
// endpoint goes (or is reconfigured), the stream dies and the cutter says so.
class WasapiRecording : public platform::Recording {
 public:
  struct Request {
    std::string endpointId;
    bool loopback = false;  // record what a render endpoint plays
    std::string threadName;
  };

  static Result<std::unique_ptr<WasapiRecording>> open(const Endpoints& endpoints, const Request& request,
                                                       std::shared_ptr<platform::BlockCutter> cutter);
  // Stops recording. When it returns, the capture thread no longer writes into the cutter.
  ~WasapiRecording() override;
  WasapiRecording(const WasapiRecording&) = delete;
  WasapiRecording& operator=(const WasapiRecording&) = delete;

  // What the capture thread uses; internal.
  struct Session;

 private:
  explicit WasapiRecording(std::unique_ptr<Session> session);

  std::unique_ptr<Session> session_;
};

}  // namespace zarvi::wasapi
