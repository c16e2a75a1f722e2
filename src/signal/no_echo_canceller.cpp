#include "signal/echo_canceller.h"

namespace zarvi {

Result<std::unique_ptr<EchoCanceller>> makeEchoCanceller() {
#if defined(_WIN32)
  // WebRTC's audio processing 0.3, the canceller of the Linux builds, has no source left to build it
  // from for Windows.
  return Failure{"this Windows build has no echo canceller"};
#else
  return Failure{"this build has no echo canceller (WebRTC's audio processing was not found)"};
#endif
}

}  // namespace zarvi
