#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "signal/echo_canceller.h"

namespace zarvi::fakes {

// What the cancellers of a test were asked; shared between them and the test.
struct CancellerRecord {
  int made = 0;
  std::vector<float> reference;
  int resets = 0;
  int pauses = 0;
  std::optional<int> beyondReachMs;
};

// Records what it is fed and told, and halves the microphone.
class FakeEchoCanceller : public EchoCanceller {
 public:
  explicit FakeEchoCanceller(std::shared_ptr<CancellerRecord> record) : record_(std::move(record)) {}
  void feedReference(std::span<const float> samples) override {
    record_->reference.insert(record_->reference.end(), samples.begin(), samples.end());
  }
  void cancel(std::span<float> microphone) override {
    for (float& sample : microphone) sample *= 0.5F;
  }
  void reset() override { ++record_->resets; }
  void pause() override { ++record_->pauses; }
  Measure measure() const override { return {12.5, 40}; }
  std::optional<int> delayBeyondReachMs() const override { return record_->beyondReachMs; }

 private:
  std::shared_ptr<CancellerRecord> record_;
};

// A maker of fake cancellers for a controller, counting what it made.
inline EchoCancellerMaker fakeCancellerMaker(const std::shared_ptr<CancellerRecord>& record) {
  return [record]() -> Result<std::unique_ptr<EchoCanceller>> {
    ++record->made;
    return std::unique_ptr<EchoCanceller>(std::make_unique<FakeEchoCanceller>(record));
  };
}

}  // namespace zarvi::fakes
