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
       "none: no microphone: the default source speaker.monitor is the monitor of a sink, not a microphone",
       "speaker.monitor as Speaker at 48000/2"},
      {desk("gone", "gone"), "none: no microphone: the sound server names no default source",
       "none: no output: the sound server names no default sink"},
      {desk("", ""), "none: no microphone: the sound server names no default source",
       "none: no output: the sound server names no default sink"},
      // A server with only its outputs, or with nothing at all.
      {{"speaker.monitor", "speaker", {{"speaker.monitor", "", true, 48000, 2}}, {{"speaker", "", "speaker.monitor"}}},
       "none: no microphone: the sound server has no source that is not a monitor",
       "speaker.monitor as speaker at 48000/2"},
      {{"", "", {}, {}},
       "none: no microphone: the sound server has no source that is not a monitor",
       "none: no output: the sound server has no sink"},
      {{"mic", "speaker", {{"mic", "", false, 48000, 1}}, {{"speaker", "", ""}}}, "mic as mic at 48000/1",
       "none: no output: the default sink speaker has no monitor to record"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(describe(chooseMicrophone(c.devices)), c.microphone) << c.devices.defaultSourceName;
    EXPECT_EQ(describe(chooseSystemAudio(c.devices)), c.systemAudio) << c.devices.defaultSinkName;
  }
}

}  // namespace
}  // namespace zarvi::pulse
