#pragma once

#include <mmdeviceapi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/follow/follow_policy.h"
#include "platform/wasapi/com.h"

namespace zarvi::wasapi {

using platform::ChosenDevice;
using platform::DeviceChoice;

// The system's audio endpoints, read through one device enumerator. An endpoint is described by its
// id, its friendly name and its shared-mode mix format.
class Endpoints {
 public:
  // Fails when the audio service cannot be reached.
  static Result<std::unique_ptr<Endpoints>> create();

  IMMDeviceEnumerator& enumerator() const { return *enumerator_; }
  // The default endpoint of the flow in the console role (what the sound settings call "default").
  DeviceChoice defaultEndpoint(EDataFlow flow) const;
  DeviceChoice endpointWithId(const std::string& id) const;
  // Every active endpoint of the flow; those that cannot be read are left out.
  std::vector<ChosenDevice> activeEndpoints(EDataFlow flow) const;

 private:
  DeviceChoice describe(IMMDevice& device) const;

  ComPtr<IMMDeviceEnumerator> enumerator_;
};

// The microphone is the default capture endpoint.
DeviceChoice chooseMicrophone(const Endpoints& endpoints);

// System audio is the loopback of the default render endpoint: the device it names is that endpoint.
// With ZARVI_TEST_SYSTEM_AUDIO_MONITOR=1 (for tests under Wine, which has no loopback) it is the
// capture endpoint named "Monitor of <the default render endpoint's name>" instead, under the render
// endpoint's name; systemAudioIsLoopback() says which.
DeviceChoice chooseSystemAudio(const Endpoints& endpoints);
bool systemAudioIsLoopback();

// Tells onChange, on the system's notification thread, whenever an endpoint of the flow comes, goes
// or changes state, or the default one changes. When the object is gone, onChange is not called again.
class EndpointWatch {
 public:
  static Result<std::unique_ptr<EndpointWatch>> start(const Endpoints& endpoints, EDataFlow flow,
                                                      std::function<void()> onChange);
  ~EndpointWatch();
  EndpointWatch(const EndpointWatch&) = delete;
  EndpointWatch& operator=(const EndpointWatch&) = delete;

  class Client;  // the system's IMMNotificationClient

 private:
  EndpointWatch() = default;

  ComPtr<IMMDeviceEnumerator> enumerator_;
  Client* client_ = nullptr;
};

}  // namespace zarvi::wasapi
