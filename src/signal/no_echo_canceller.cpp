#include "signal/echo_canceller.h"

namespace zarvi {

Result<std::unique_ptr<EchoCanceller>> makeEchoCanceller() {
  return Failure{"this build has no echo canceller"};
}

}  // namespace zarvi
