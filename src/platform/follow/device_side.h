#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/follow/block_cutter.h"
#include "platform/follow/follow_policy.h"
#include "runtime/result.h"

namespace zarvi::platform {

// A device being recorded. The recording stops when the object goes: once the destructor returns,
// nothing more is written into its cutter.
class Recording {
 public:
  virtual ~Recording() = default;
};

// What a backend does for one followed source: which device the source should record, news that it
// may have changed, and the recording itself. Every call is made on the source's serial queue.
class DeviceSide {
 public:
  virtual ~DeviceSide() = default;

  // Why the connection to the sound system that recordings run over went, once it has; nullopt while
  // it stands or when there is none to lose (and always on a backend with no such connection).
  virtual std::optional<Failure> connectionLost() = 0;
  // The device this source should record now, or why there is none. A failure when the system could
  // not be asked: its connection went and could not be made again, or no answer came in time. A
  // connection that is gone is made anew first.
  virtual Result<DeviceChoice> lookAtDevices() = 0;
  // From now until stopWatching(), onNews is called, on any thread, whenever the devices may have
  // changed or the connection failed, also over a connection made anew. It must only hand the news on.
  virtual Result<> watch(std::function<void()> onNews) = 0;
  // Ends the watch and lets go of what only following needs.
  virtual void stopWatching() = 0;
  // Starts recording the device into the cutter, in the cutter's shape; the recording writes what
  // arrives, hands it on, and reports its death when the device or the connection goes after it began.
  virtual Result<std::unique_ptr<Recording>> record(const ChosenDevice& device,
                                                    std::shared_ptr<BlockCutter> cutter) = 0;
};

}  // namespace zarvi::platform
