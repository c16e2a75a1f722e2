#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "signal/audio_mixer.h"
#include "signal/conversion.h"
#include "signal/echo_canceller.h"

namespace zarvi {
namespace {

std::vector<float> tone(std::size_t count) {
  std::vector<float> samples(count);
  for (std::size_t i = 0; i < count; ++i) samples[i] = 0.5F * std::sin(0.05F * static_cast<float>(i));
  return samples;
}

// Real time of one block, for the real-time factor: frames / rate.
void reportBlock(benchmark::State& state, double frames, double rate) {
  state.counters["input_samples"] = frames;
  state.counters["audio_ms"] = 1000.0 * frames / rate;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * frames));
}

void BM_toMono16k_stereo48k(benchmark::State& state) {
  const auto input = tone(4096 * 2);
  for (auto _ : state) benchmark::DoNotOptimize(toMono16k(input.data(), 4096, 2, 48000));
  reportBlock(state, 4096, 48000);
}
BENCHMARK(BM_toMono16k_stereo48k);

void BM_toMono16kPlanar_stereo48k(benchmark::State& state) {
  const auto input = tone(4096 * 2);
  for (auto _ : state) benchmark::DoNotOptimize(toMono16kPlanar(input.data(), 4096, 2, 48000));
  reportBlock(state, 4096, 48000);
}
BENCHMARK(BM_toMono16kPlanar_stereo48k);

void BM_resampleToMono16k(benchmark::State& state) {
  const auto rate = static_cast<double>(state.range(0));
  const auto input = tone(4096);
  for (auto _ : state) benchmark::DoNotOptimize(resampleToMono16k(input, rate));
  reportBlock(state, 4096, rate);
}
BENCHMARK(BM_resampleToMono16k)->Arg(44100)->Arg(48000);

// Sends the PCM of the mixer to /dev/null while it lives.
class PcmToDevNull {
 public:
  PcmToDevNull() : saved_(::dup(STDOUT_FILENO)), devNull_(::open("/dev/null", O_WRONLY)) {
    std::fflush(stdout);
    ::dup2(devNull_, STDOUT_FILENO);
  }
  ~PcmToDevNull() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::close(devNull_);
  }

 private:
  int saved_;
  int devNull_;
};

// One microphone block of 1365 samples (4095 frames at 48 kHz) mixed with a waiting system block.
// Each iteration also refills the system block, as the system source does between two microphone blocks.
void pushSystemThenPushMic(benchmark::State& state, std::unique_ptr<EchoCanceller> canceller) {
  const auto mic = tone(1365);
  const auto system = tone(1365);
  StandardOutputPcm pcm;
  StandardErrorEvents events;
  AudioMixer mixer(pcm, events);
  mixer.setEchoCanceller(std::move(canceller));
  {
    PcmToDevNull quiet;
    for (auto _ : state) {
      mixer.pushSystem(system);
      mixer.pushMic(mic);
    }
  }
  reportBlock(state, 4095, 48000);
}

void BM_pushSystemThenPushMic(benchmark::State& state) {
  pushSystemThenPushMic(state, nullptr);
}
BENCHMARK(BM_pushSystemThenPushMic);

// The same with the echo canceller on: its cost per second of audio is its CPU share.
void BM_pushSystemThenPushMic_echoCancelled(benchmark::State& state) {
  auto canceller = makeEchoCanceller();
  if (!canceller) {
    state.SkipWithError(canceller.failure().description.c_str());
    return;
  }
  pushSystemThenPushMic(state, std::move(*canceller));
}
BENCHMARK(BM_pushSystemThenPushMic_echoCancelled);

// The microphone block alone, with nothing waiting.
void BM_pushMic_alone(benchmark::State& state) {
  const auto mic = tone(1365);
  StandardOutputPcm pcm;
  StandardErrorEvents events;
  AudioMixer mixer(pcm, events);
  {
    PcmToDevNull quiet;
    for (auto _ : state) mixer.pushMic(mic);
  }
  reportBlock(state, 4095, 48000);
}
BENCHMARK(BM_pushMic_alone);

}  // namespace
}  // namespace zarvi

BENCHMARK_MAIN();
