#include "platform/wasapi/wasapi_source_side.h"

#include "platform/wasapi/wasapi_recording.h"

namespace zarvi::wasapi {

WasapiSourceSide::WasapiSourceSide(EDataFlow watchedFlow, Choose choose, bool loopback,
                                   std::string threadName)
    : watchedFlow_(watchedFlow), choose_(choose), loopback_(loopback), threadName_(std::move(threadName)) {}

WasapiSourceSide::~WasapiSourceSide() {
  stopWatching();
}

Result<const Endpoints*> WasapiSourceSide::endpoints() {
  if (!endpoints_) {
    auto created = Endpoints::create();
    if (!created) return created.failure();
    endpoints_ = std::move(created.value());
  }
  return endpoints_.get();
}

Result<DeviceChoice> WasapiSourceSide::lookAtDevices() {
  const ComScope com;
  const auto reached = endpoints();
  if (!reached) return reached.failure();
  return choose_(*reached.value());
}

Result<> WasapiSourceSide::watch(std::function<void()> onNews) {
  const ComScope com;
  const auto reached = endpoints();
  if (!reached) return reached.failure();
  auto started = EndpointWatch::start(*reached.value(), watchedFlow_, std::move(onNews));
  if (!started) return started.failure();
  watch_ = std::move(started.value());
  return {};
}

void WasapiSourceSide::stopWatching() {
  const ComScope com;
  watch_.reset();
  endpoints_.reset();
}

Result<std::unique_ptr<platform::Recording>> WasapiSourceSide::record(
    const ChosenDevice& device, std::shared_ptr<platform::BlockCutter> cutter) {
  const ComScope com;
  const auto reached = endpoints();
  if (!reached) return reached.failure();
  auto recording =
      WasapiRecording::open(*reached.value(), {device.id, loopback_, threadName_}, std::move(cutter));
  if (!recording) return recording.failure();
  return std::unique_ptr<platform::Recording>(std::move(recording.value()));
}

}  // namespace zarvi::wasapi
