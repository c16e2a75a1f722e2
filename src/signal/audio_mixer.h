#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "protocol/events.h"
#include "protocol/pcm_writer.h"
#include "signal/echo_canceller.h"

namespace zarvi {

// Joins the two sources into the PCM stream. The microphone drives the output: each microphone block
// is mixed with the oldest waiting system samples and written at once as 16-bit PCM; system audio
// only waits, bounded to the newest maxSysBufferSamples. While no microphone is capturing, system
// audio drives instead: each system block is written at once, as a mix with a silent microphone, after
// whatever system audio was still waiting. With separate tracks, the same schedule writes each pair
// of samples as one two-channel frame (microphone, system audio) in place of their mix.
class AudioMixer {
 public:
  static constexpr std::int64_t maxSysBufferSamples = 8000;

  enum class Layout { mix, separateTracks };

  // Both must outlive the mixer.
  AudioMixer(PcmWriter& pcm, EventSink& events) : pcm(pcm), events(events) {}

  void pushMic(std::span<const float> samples);
  void pushSystem(std::span<const float> samples);
  void clearBuffers();
  // Whether a microphone is capturing and so drives the output; it does from the start.
  void setMicrophoneDriving(bool driving);
  // What the output carries from the next push on; the mix until told otherwise.
  void setLayout(Layout layout);
  // From the next push on, every system sample pushed feeds the canceller, and each microphone block
  // has the echo removed before it is written; none: the microphone as it comes.
  void setEchoCanceller(std::unique_ptr<EchoCanceller> canceller);
  // The capture ended: the canceller, paused, when it learnt one echo path from the moment it was set
  // on; none when that path changed (or there is no canceller). None is set on from then.
  std::unique_ptr<EchoCanceller> takeEchoCanceller();
  // A device switched or came back: the canceller's echo path is a new one.
  void echoPathChanged();
  // The canceller was set on for other devices than those it learnt: it starts over, and what it
  // learns from now on is of this path.
  void startEchoPathOver();

  // For diagnostics and tests; each takes the lock.
  std::int64_t pushCount() const;
  std::size_t waitingSystemSamples() const;

 private:
  PcmWriter& pcm;
  EventSink& events;
  mutable std::mutex lock;
  std::vector<float> sysBuffer;
  std::int64_t pushCount_ = 0;
  bool microphoneDriving = true;
  Layout layout = Layout::mix;
  std::unique_ptr<EchoCanceller> canceller;
  bool echoPathMoved = false;
  bool saidBeyondReach = false;
};

// The 16-bit value of one mixed sample: clamped to [-1, 1] (not a number counts as 1), scaled by
// 32767 in single precision and truncated toward zero.
std::int16_t toPcmSample(float mixed);

}  // namespace zarvi
