#include "platform/follow/follow_policy.h"

#include <gtest/gtest.h>

namespace zarvi::platform {
namespace {

TEST(FollowPolicy, ARunningSourceMovesOnlyWhenTheChoiceChangesAndGivesUpOnlyAfterAMoment) {
  const ChosenDevice mic{"mic", "Built-in Microphone", 44100, 2};
  const ChosenDevice usb{"usbmic", "USB", 48000, 1};
  const DeviceChoice none = Failure{"No such entity"};
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
    if (c.choice && c.step != FollowStep::stay) {
      EXPECT_EQ(decision.device, c.choice.value()) << c.what;
    }
    if (c.step == FollowStep::lose) {
      EXPECT_EQ(decision.why, "No such entity") << c.what;
    }
  }
}

}  // namespace
}  // namespace zarvi::platform
