#pragma once

#include <mutex>

namespace zarvi {

// Samples per second of every mono block and of the PCM stream.
inline constexpr double TARGET_SAMPLE_RATE = 16000.0;

// Held around each PCM write to standard output, and around nothing else.
extern std::mutex writeLock;

// Per-buffer and per-push debug events. Set once by main before any other thread runs.
extern bool VERBOSE_AUDIO;

// True exactly when the variable exists and its value is the one character "1".
bool environmentSwitchIsOn(const char* name);

}  // namespace zarvi
