#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/follow/device_side.h"
#include "platform/wasapi/endpoints.h"

namespace zarvi::wasapi {

// A followed source on Windows' audio endpoints: the endpoint its policy chooses, the system's
// endpoint notifications of the watched flow as news, and a recording of the endpoint (by loopback for
// system audio). There is no connection to lose: the audio service answers every look.
class WasapiSourceSide : public platform::DeviceSide {
 public:
  using Choose = DeviceChoice (*)(const Endpoints&);

  WasapiSourceSide(EDataFlow watchedFlow, Choose choose, bool loopback, std::string threadName);
  ~WasapiSourceSide() override;

  std::optional<Failure> connectionLost() override { return std::nullopt; }
  Result<DeviceChoice> lookAtDevices() override;
  Result<> watch(std::function<void()> onNews) override;
  void stopWatching() override;
  Result<std::unique_ptr<platform::Recording>> record(const ChosenDevice& device,
                                                      std::shared_ptr<platform::BlockCutter> cutter) override;

 private:
  Result<const Endpoints*> endpoints();

  const EDataFlow watchedFlow_;
  const Choose choose_;
  const bool loopback_;
  const std::string threadName_;
  std::unique_ptr<Endpoints> endpoints_;  // made at the first need, let go of when following ends
  std::unique_ptr<EndpointWatch> watch_;
};

}  // namespace zarvi::wasapi
