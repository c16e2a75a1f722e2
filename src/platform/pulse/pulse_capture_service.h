#pragma once

#include <memory>

#include "platform/capture_service.h"

namespace zarvi::pulse {

// System audio: the "displays" are the server's sinks, the default sink first, each captured through
// its monitor source; the "applications" are the server's clients. A sink's monitor carries the sound
// of every application, so excluding one (this process, which plays nothing) leaves the sound unchanged.
// A stream records the chosen sink's monitor in the configured format (the server converts) and then
// follows the default sink's monitor (chooseSystemAudio), over the service's one connection.
std::unique_ptr<platform::CaptureService> makePulseCaptureService();

}  // namespace zarvi::pulse
