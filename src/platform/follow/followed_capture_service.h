#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/capture_service.h"
#include "platform/follow/device_side.h"

namespace zarvi::platform {

// How a backend's system-audio stream records: the side it follows through, and the device it records
// first (the side's own choice when none is given).
struct StreamPlan {
  std::unique_ptr<DeviceSide> side;
  std::optional<ChosenDevice> startDevice;
};

// The system-audio service of every backend: the content as the backend reads it, and streams that
// follow the backend's side (FollowedCaptureStream).
class FollowedCaptureService : public CaptureService {
 public:
  using ReadContent = std::function<ContentResult()>;
  using PlanStream = std::function<StreamPlan(const ContentFilter&, const StreamConfiguration&)>;

  FollowedCaptureService(ReadContent readContent, PlanStream planStream)
      : readContent_(std::move(readContent)), planStream_(std::move(planStream)) {}

  void getShareableContent(std::function<void(ContentResult)> completion) override;
  std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration) override;

 private:
  const ReadContent readContent_;
  const PlanStream planStream_;
};

}  // namespace zarvi::platform
