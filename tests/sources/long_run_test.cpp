#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "sources/mic_capture.h"
#include "sources/system_audio_handler.h"
#include "support/recorded_output.h"

namespace zarvi {
namespace {

long residentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

// Counts the PCM bytes without keeping them.
class CountedPcm : public PcmWriter {
 public:
  void writePcm(std::string_view bytes) override { bytes_ += bytes.size(); }
  std::size_t bytes() const { return bytes_; }

 private:
  std::atomic<std::size_t> bytes_{0};
};

// One hour of 48 kHz stereo from both sources, through the sources and the mixer, as fast as it goes.
TEST(LongRun, AnHourOfAudioComesOutExactlyAndInFlatMemory) {
  constexpr std::int64_t kFrames = 3600LL * 48000;
  constexpr std::int64_t kMicBlock = 4095;
  constexpr std::int64_t kSystemBuffer = 480;

  auto script = std::make_shared<fakes::EngineScript>();
  testing::RecordedEvents events;
  CountedPcm out;
  auto mixer = std::make_shared<AudioMixer>(out, events);
  auto mic = std::make_shared<MicCapture>(std::make_unique<fakes::FakeAudioEngine>(script), mixer, events);
  SystemAudioHandler system(mixer, events);

  std::vector<float> planar(2 * kMicBlock);
  std::vector<float> interleaved(2 * kSystemBuffer);
  for (std::int64_t f = 0; f < kMicBlock; ++f) {
    planar[f] = planar[kMicBlock + f] = 0.25F * std::sin(0.1F * static_cast<float>(f));
  }
  for (std::int64_t f = 0; f < kSystemBuffer; ++f) {
    interleaved[2 * f] = interleaved[2 * f + 1] = 0.25F * std::sin(0.03F * static_cast<float>(f));
  }
  const platform::SampleBuffer systemBuffer{
      true, platform::StreamBasicDescription{48000, 0x9, 8, 1, 8, 2, 32},
      platform::ByteRun{interleaved.data(), static_cast<std::int64_t>(interleaved.size() * 4)}};

  mic->start();
  long afterFirstMinute = 0;
  long peak = 0;
  std::int64_t micFrames = 0;
  std::int64_t systemFrames = 0;
  std::int64_t expectedSamples = 0;
  while (micFrames < kFrames) {
    const std::int64_t frames = std::min(kMicBlock, kFrames - micFrames);
    const float* runs[] = {planar.data(), planar.data() + frames};
    if (frames < kMicBlock) std::copy_n(planar.data() + kMicBlock, frames, planar.data() + frames);
    script->deliver({runs, static_cast<std::uint32_t>(frames)});
    micFrames += frames;
    expectedSamples += frames * 16000 / 48000;  // 4095 frames -> 1365 samples, exactly
    while (systemFrames + kSystemBuffer <= micFrames) {
      system.didOutput(systemBuffer, platform::OutputType::audio);
      systemFrames += kSystemBuffer;
    }
    if (micFrames % (60 * 48000) < kMicBlock) {
      const long now = residentKb();
      if (afterFirstMinute == 0) afterFirstMinute = now;
      peak = std::max(peak, now);
    }
  }
  mic->stop();
  const std::size_t bytes = out.bytes();

  EXPECT_EQ(expectedSamples, 3600 * 16000);
  EXPECT_EQ(bytes, static_cast<std::size_t>(expectedSamples) * 2);
  EXPECT_EQ(mixer->pushCount(), (kFrames + kMicBlock - 1) / kMicBlock);
  EXPECT_LE(mixer->waitingSystemSamples(), 8000U);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sanitizers keep freed memory in quarantine, so only a plain build shows the tool's own footprint.
  EXPECT_LT(peak - afterFirstMinute, 2048) << "resident memory grew by KiB";
#endif
  std::printf("resident memory after the first minute: %ld KiB, peak over the hour: %ld KiB\n",
              afterFirstMinute, peak);
}

}  // namespace
}  // namespace zarvi
