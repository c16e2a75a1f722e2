#include "platform/pulse/pulse_source_side.h"

#include "platform/pulse/pulse_queries.h"
#include "platform/pulse/pulse_recording.h"

namespace zarvi::pulse {

PulseSourceSide::PulseSourceSide(std::shared_ptr<PulseConnection> connection, Choose choose,
                                 std::optional<Format> recordAs)
    : connection_(std::move(connection)), choose_(choose), recordAs_(recordAs) {}

PulseSourceSide::~PulseSourceSide() {
  stopWatching();
}

std::optional<Failure> PulseSourceSide::connectionLost() {
  const auto& context = connection_->current();
  if (!context) return std::nullopt;
  PulseContext::Lock hold(*context);
  if (context->alive()) return std::nullopt;
  return context->lastError();
}

Result<DeviceChoice> PulseSourceSide::lookAtDevices() {
  // One bound for the whole look, so that a frozen server holds it no longer than one step.
  const Deadline deadline = deadlineFromNow();
  const auto context = connection_->ensure(deadline);
  if (!context) return context.failure();
  PulseContext::Lock hold(*context.value());
  const auto devices = queryDevices(*context.value(), deadline);
  if (!devices) return devices.failure();
  DeviceChoice choice = choose_(devices.value());
  if (choice && recordAs_) {
    choice.value().rate = recordAs_->rate;
    choice.value().channels = recordAs_->channels;
  }
  return choice;
}

Result<> PulseSourceSide::watch(std::function<void()> onNews) {
  connection_->listen(std::move(onNews));
  return {};
}

void PulseSourceSide::stopWatching() {
  connection_->listen(nullptr);
}

Result<std::unique_ptr<platform::Recording>> PulseSourceSide::record(
    const ChosenDevice& device, std::shared_ptr<platform::BlockCutter> cutter) {
  const auto& context = connection_->current();
  if (!context) return describePulseError(PA_ERR_CONNECTIONREFUSED);
  auto recording = PulseRecording::open(context, device.id, std::move(cutter), deadlineFromNow());
  if (!recording) return recording.failure();
  return std::unique_ptr<platform::Recording>(std::move(recording.value()));
}

}  // namespace zarvi::pulse
