#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/pulse/pulse_context.h"

namespace zarvi::pulse {

// One source's connection to the sound server: made when first needed, and made anew, never revived,
// when it died. Only one connection is ever held, and what it listens for carries over to the next
// one. Used by one thread at a time.
class PulseConnection {
 public:
  explicit PulseConnection(std::string threadName) : threadName_(std::move(threadName)) {}
  ~PulseConnection() { listen(nullptr); }
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // The connection, made anew when there is none or it died.
  Result<std::shared_ptr<PulseContext>> ensure(Deadline deadline);
  // The connection as it stands: null when there is none; it may have died.
  const std::shared_ptr<PulseContext>& current() const { return context_; }
  // From now on the handler hears the server's changes and a failure of the connection, on the
  // mainloop thread (see PulseContext::setChangeHandler), over this connection and every later one;
  // an empty handler hears nothing. Once it returns, an earlier handler is never called again.
  void listen(std::function<void()> handler);

 private:
  void setHandlerOf(PulseContext& context, std::function<void()> handler);

  const std::string threadName_;
  std::shared_ptr<PulseContext> context_;
  std::function<void()> handler_;
};

}  // namespace zarvi::pulse
