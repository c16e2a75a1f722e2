#include "platform/follow/followed_capture_service.h"

#include "platform/follow/followed_capture_stream.h"

namespace zarvi::platform {

void FollowedCaptureService::getShareableContent(std::function<void(ContentResult)> completion) {
  completion(readContent_());
}

std::unique_ptr<CaptureStream> FollowedCaptureService::makeStream(const ContentFilter& filter,
                                                                  const StreamConfiguration& configuration) {
  auto plan = planStream_(filter, configuration);
  return std::make_unique<FollowedCaptureStream>(std::move(plan.side), std::move(plan.startDevice));
}

}  // namespace zarvi::platform
