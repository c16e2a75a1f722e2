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
  if (const auto* device = std::get_if<ChosenDevice>(&choice)) {
    return device->id + " as " + device->description + " at " + std::to_string(device->rate) + "/" +
           std::to_string(device->channels);
  }
  return "none: " + std::get<std::string>(choice);
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

TEST(DevicePolicy, ARunningSourceMovesOnlyWhenTheChoiceChangesAndGivesUpOnlyAfterAMoment) {
  const ChosenDevice mic{"mic", "Built-in Microphone", 44100, 2};
  const ChosenDevice usb{"usbmic", "USB", 48000, 1};
  const DeviceChoice none = std::string("No such entity");
  const struct {
    const char* what;
    bool recordingMic;  // else lost
    bool streamAlive;
    bool lossPending;
    DeviceChoice choice;
    FollowStep step;
  } cases[] = {
      {"the same device, still delivering", true, true, false, mic, FollowStep::stay},
      {"the same device, whose stream died", true, false, false, mic, FollowStep::reopen},
      {"another default microphone", true, true, false, usb, FollowStep::switchTo},
      {"the device in use died, another took its place", true, false, false, usb, FollowStep::switchTo},
      {"no device: wait a moment first", true, false, false, none, FollowStep::settle},
      {"still no device after the moment", true, false, true, none, FollowStep::lose},
      {"a device came within the moment", true, false, true, usb, FollowStep::switchTo},
      {"lost, and still nothing", false, false, false, none, FollowStep::stay},
      {"lost, and a device is back", false, false, false, mic, FollowStep::resume},
  };
  for (const auto& c : cases) {
    FollowedState state;
    if (c.recordingMic) state.recording = mic;
    state.streamAlive = c.streamAlive;
    state.lossPending = c.lossPending;
    const FollowDecision decision = decideNextStep(state, c.choice);
    EXPECT_EQ(decision.step, c.step) << c.what;
    if (const auto* device = std::get_if<ChosenDevice>(&c.choice); device && c.step != FollowStep::stay) {
      EXPECT_EQ(decision.device, *device) << c.what;
    }
    if (c.step == FollowStep::lose) {
      EXPECT_EQ(decision.why, "No such entity") << c.what;
    }
  }
}

}  // namespace
}  // namespace zarvi::pulse
