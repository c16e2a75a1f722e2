#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/audio_engine.h"
#include "runtime/serial_queue.h"
#include "platform/wasapi/endpoints.h"
#include "platform/wasapi/wasapi_recorder.h"

namespace zarvi::wasapi {

// Keeps one source on the endpoint its policy chooses while it captures: it listens to the system's
// endpoint notifications, moves the recording when the choice changes, says when there is nothing to
// record and when there is again, and tries an endpoint that would not open again with a bounded
// back-off. All its work runs on the queue that also carries the source's blocks, so a device event
// always falls between two blocks.
class EndpointFollower {
 public:
  using Choose = DeviceChoice (*)(const Endpoints&);
  using RequestFor = std::function<WasapiRecorder::Request(const ChosenDevice&)>;
  // On the queue. device is the device recorded from now on for switched and resumed, else null.
  using ChangeHandler = std::function<void(platform::DeviceChange change, const std::string& description,
                                           const ChosenDevice* device)>;

  EndpointFollower(runtime::SerialQueue& queue, EDataFlow watchedFlow, Choose choose, RequestFor requestFor,
                   WasapiRecorder::BlockHandler onBlock, ChangeHandler onChange);
  ~EndpointFollower();
  EndpointFollower(const EndpointFollower&) = delete;
  EndpointFollower& operator=(const EndpointFollower&) = delete;

  // Not on the queue: records the device (the policy's choice when none is given) and follows from
  // then on; the error's description when the first recording cannot start (then it does not follow).
  std::optional<std::string> start(const std::optional<ChosenDevice>& device);
  // Not on the queue: when it returns, no handler of this follower runs or will run.
  void stop();

  struct State;  // internal: what the notifications and the queue's work share

 private:
  std::shared_ptr<State> state_;
};

}  // namespace zarvi::wasapi
