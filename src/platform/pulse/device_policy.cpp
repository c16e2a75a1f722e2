#include "platform/pulse/device_policy.h"

#include <algorithm>

#include "platform/pulse/pulse_context.h"

namespace zarvi::pulse {
namespace {

std::string describeDevice(const std::string& description, const std::string& name) {
  return description.empty() ? name : description;
}

template <typename Device>
const Device* findByName(const std::vector<Device>& devices, const std::string& name) {
  const auto found =
      std::find_if(devices.begin(), devices.end(), [&](const Device& device) { return device.name == name; });
  return found == devices.end() ? nullptr : &*found;
}

}  // namespace

DeviceChoice chooseMicrophone(const ServerDevices& devices) {
  const SourceDevice* source = findByName(devices.sources, devices.defaultSourceName);
  if (source == nullptr) return describePulseError(PA_ERR_NOENTITY);
  if (source->isMonitor) {
    return Failure{describePulseError(PA_ERR_NOENTITY).description + " (the default source " + source->name +
                   " is the monitor of a sink, not a microphone)"};
  }
  return ChosenDevice{source->name, describeDevice(source->description, source->name), source->rate,
                      source->channels};
}

DeviceChoice chooseSystemAudio(const ServerDevices& devices) {
  const SinkDevice* sink = findByName(devices.sinks, devices.defaultSinkName);
  if (sink == nullptr || sink->monitorSourceName.empty()) return describePulseError(PA_ERR_NOENTITY);
  const SourceDevice* monitor = findByName(devices.sources, sink->monitorSourceName);
  return ChosenDevice{sink->monitorSourceName, describeDevice(sink->description, sink->name),
                      monitor != nullptr ? monitor->rate : 0U,
                      monitor != nullptr ? monitor->channels : std::uint8_t{0}};
}

}  // namespace zarvi::pulse
