#include "platform/pulse/pulse_connection.h"

namespace zarvi::pulse {

// Set and cleared with the mainloop lock held, so that a callback never reaches a handler that was
// taken away.
void PulseConnection::setHandlerOf(PulseContext& context, std::function<void()> handler) {
  PulseContext::Lock hold(context);
  context.setChangeHandler(std::move(handler));
}

Result<std::shared_ptr<PulseContext>> PulseConnection::ensure(Deadline deadline) {
  if (context_) {
    {
      PulseContext::Lock hold(*context_);
      if (context_->alive()) return context_;
    }
    // A recording over the dead connection may keep it a while yet: it tells nobody any more.
    setHandlerOf(*context_, nullptr);
    context_.reset();
  }
  auto connected = PulseContext::connect(threadName_, deadline);
  if (!connected) return connected;
  context_ = connected.value();
  if (handler_) setHandlerOf(*context_, handler_);
  return connected;
}

void PulseConnection::listen(std::function<void()> handler) {
  handler_ = std::move(handler);
  if (context_) setHandlerOf(*context_, handler_);
}

}  // namespace zarvi::pulse
