#pragma once

#include <memory>
#include <string>

#include "platform/pulse/pulse_context.h"

namespace zarvi::pulse {

// One source's connection to the sound server: made when first needed, and made anew, never revived,
// when it died. Only one connection is ever held. Used by one thread at a time.
class PulseConnection {
 public:
  explicit PulseConnection(std::string threadName) : threadName_(std::move(threadName)) {}

  // The connection, made anew when there is none or it died.
  Result<std::shared_ptr<PulseContext>> ensure(Deadline deadline);
  // The connection as it stands: null when there is none; it may have died.
  const std::shared_ptr<PulseContext>& current() const { return context_; }
  // Lets go of it; a recording over it keeps it until the recording goes.
  void drop() { context_.reset(); }

 private:
  const std::string threadName_;
  std::shared_ptr<PulseContext> context_;
};

}  // namespace zarvi::pulse
