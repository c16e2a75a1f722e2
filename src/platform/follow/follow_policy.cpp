#include "platform/follow/follow_policy.h"

namespace zarvi::platform {

FollowDecision decideNextStep(const FollowedState& state, const DeviceChoice& choice) {
  const auto* device = std::get_if<ChosenDevice>(&choice);
  if (device == nullptr) {
    if (!state.recording) return {};
    return {state.lossPending ? FollowStep::lose : FollowStep::settle, std::nullopt,
            std::get<std::string>(choice)};
  }
  if (!state.recording) return {FollowStep::resume, *device, {}};
  if (state.recording->id != device->id) return {FollowStep::switchTo, *device, {}};
  if (!state.streamAlive) return {FollowStep::reopen, *device, {}};
  return {};
}

}  // namespace zarvi::platform
