#include "platform/pulse/pulse_connection.h"

namespace zarvi::pulse {

Result<std::shared_ptr<PulseContext>> PulseConnection::ensure(Deadline deadline) {
  if (context_) {
    PulseContext::Lock hold(*context_);
    if (context_->alive()) return context_;
  }
  context_.reset();
  auto connected = PulseContext::connect(threadName_, deadline);
  if (connected) context_ = connected.value();
  return connected;
}

}  // namespace zarvi::pulse
