#pragma once

#include <memory>

#include "platform/capture_service.h"

namespace zarvi::platform {

// The platform of the backend this build was made with (ZARVI_BACKEND). Each backend folder defines
// it once; nothing else chooses a backend.
std::unique_ptr<Platform> makePlatform();

}  // namespace zarvi::platform
