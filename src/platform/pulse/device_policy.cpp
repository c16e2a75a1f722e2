#include "platform/pulse/device_policy.h"

#include <algorithm>


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
  const bool anyMicrophone = std::any_of(devices.sources.begin(), devices.sources.end(),
                                         [](const SourceDevice& device) { return !device.isMonitor; });
  if (!anyMicrophone) return Failure{"no microphone: the sound server has no source that is not a monitor"};
  if (source == nullptr) return Failure{"no microphone: the sound server names no default source"};
  if (source->isMonitor) {
    return Failure{"no microphone: the default source " + source->name +
                   " is the monitor of a sink, not a microphone"};
  }
  return ChosenDevice{source->name, describeDevice(source->description, source->name), source->rate,
                      source->channels};
}

DeviceChoice chooseSystemAudio(const ServerDevices& devices) {
  if (devices.sinks.empty()) return Failure{"no output: the sound server has no sink"};
  const SinkDevice* sink = findByName(devices.sinks, devices.defaultSinkName);
  if (sink == nullptr) return Failure{"no output: the sound server names no default sink"};
  if (sink->monitorSourceName.empty()) {
    return Failure{"no output: the default sink " + sink->name + " has no monitor to record"};
  }
  const SourceDevice* monitor = findByName(devices.sources, sink->monitorSourceName);
  return ChosenDevice{sink->monitorSourceName, describeDevice(sink->description, sink->name),
                      monitor != nullptr ? monitor->rate : 0U,
                      monitor != nullptr ? monitor->channels : std::uint8_t{0}};
}

}  // namespace zarvi::pulse
