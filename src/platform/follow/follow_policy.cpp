#include "platform/follow/follow_policy.h"

namespace zarvi::platform {

FollowDecision decideNextStep(const FollowedState& state, const DeviceChoice& choice) {
  if (!choice) {
    if (!state.recording) return {};
    return {state.lossPending ? FollowStep::lose : FollowStep::settle, std::nullopt, choice.error()};
  }
  const ChosenDevice& device = choice.value();
  if (!state.recording) return {FollowStep::resume, device, {}};
  if (state.recording->id != device.id) return {FollowStep::switchTo, device, {}};
  if (!state.streamAlive) return {FollowStep::reopen, device, {}};
  return {};
}

}  // namespace zarvi::platform
