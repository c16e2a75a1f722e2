#pragma once

#include <memory>

#include "platform/capture_service.h"

namespace zarvi::wasapi {

// System audio: the "displays" are the active render endpoints, the default one first, each captured
// by loopback; the "applications" are the audio sessions of the default render endpoint. Loopback
// carries the sound of every application, so excluding one (this process, which plays nothing) leaves
// the sound unchanged. A stream records the default render endpoint by loopback, at its mix format,
// and follows the default render endpoint from then on (chooseSystemAudio).
std::unique_ptr<platform::CaptureService> makeWasapiCaptureService();

}  // namespace zarvi::wasapi
