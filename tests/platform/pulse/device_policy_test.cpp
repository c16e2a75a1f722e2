#include "platform/pulse/device_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace zarvi::pulse {
namespace {

// A desk: a speaker and headphones, a built-in and a USB microphone, and the monitors of both sinks.
ServerDevices desk(const std::string& defaultSource, const std::string& defaultSink) {
  return {defaultSource,
          defaultSink,
          {{"speaker.monitor", "Monitor of Speaker", true, 48000, 2},
           {"headphones.monitor", "", true, 48000, 2},
           {"mic", "Built-in Microphone", false, 44100, 2},
           {"usbmic", "", false, 48000, 1}},
          {{"speaker", "Speaker", "speaker.monitor"}, {"headphones", "", "headphones.monitor"}}};
}

std::string describe(const DeviceChoice& choice) {
  if (choice) {
    const ChosenDevice& device = choice.value();
    return device.id + " as " + device.description + " at " + std::to_string(device.rate) + "/" +
           std::to_string(device.channels);
  }
  return "none: " + choice.error();
}

TEST(DevicePolicy, TheMicrophoneIsTheDefaultSourceUnlessItIsAMonitorAndSystemAudioTheDefaultSinksMonitor) {
  const struct {
    ServerDevices devices;
    std::string microphone;
    std::string systemAudio;
  } cases[] = {
      {desk("mic", "speaker"), "mic as Built-in Microphone at 44100/2",
       "speaker.monitor as Speaker at 48000/2"},
      {desk("usbmic", "headphones"), "usbmic as usbmic at 48000/1",  // no description: its name
       "headphones.monitor as headphones at 48000/2"},
      {desk("speaker.monitor", "speaker"),
       "none: No such entity (the default source speaker.monitor is the monitor of a sink, not a microphone)",
       "speaker.monitor as Speaker at 48000/2"},
      {desk("gone", "gone"), "none: No such entity", "none: No such entity"},
      {desk("", ""), "none: No such entity", "none: No such entity"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(describe(chooseMicrophone(c.devices)), c.microphone) << c.devices.defaultSourceName;
    EXPECT_EQ(describe(chooseSystemAudio(c.devices)), c.systemAudio) << c.devices.defaultSinkName;
  }
}

}  // namespace
}  // namespace zarvi::pulse
