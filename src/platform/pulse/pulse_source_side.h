#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/follow/device_side.h"
#include "platform/pulse/device_policy.h"
#include "platform/pulse/pulse_connection.h"

namespace zarvi::pulse {

// A followed source on the sound server: its connection, subscribed to the server's changes of
// defaults, sources and sinks; the device its policy chooses from the server's devices; and a
// recording of that device's source, which the server never moves elsewhere.
class PulseSourceSide : public platform::DeviceSide {
 public:
  using Choose = DeviceChoice (*)(const ServerDevices&);
  // recordAs: the rate and channel count every device is recorded in (the server converts); a
  // device's own when absent.
  struct Format {
    std::uint32_t rate = 0;
    std::uint8_t channels = 0;
  };

  PulseSourceSide(std::shared_ptr<PulseConnection> connection, Choose choose, std::optional<Format> recordAs);
  ~PulseSourceSide() override;

  std::optional<Failure> connectionLost() override;
  Result<DeviceChoice> lookAtDevices() override;
  Result<> watch(std::function<void()> onNews) override;
  void stopWatching() override;
  Result<std::unique_ptr<platform::Recording>> record(const ChosenDevice& device,
                                                      std::shared_ptr<platform::BlockCutter> cutter) override;

 private:
  const std::shared_ptr<PulseConnection> connection_;
  const Choose choose_;
  const std::optional<Format> recordAs_;
};

}  // namespace zarvi::pulse
