#include "support/private_pulse_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <span>
#include <stdexcept>

#include "support/shell.h"

namespace zarvi::testing {
namespace {

const std::string kScript = std::string(ZARVI_SOURCE_DIR) + "/scripts/private-pulse.sh";

// For the commands whose failure changes nothing: a server that is already gone, a directory that
// is already removed.
void runWhateverItGives(const std::string& command) {
  const int status = std::system(command.c_str());
  static_cast<void>(status);
}

}  // namespace

PrivatePulseServer::PrivatePulseServer() {
  const char* kind = std::getenv("ZARVI_TEST_SOUND_SERVER");
  kind_ = kind != nullptr && *kind != '\0' ? kind : "pulseaudio";
  char pattern[] = "/tmp/zarvi-pulse-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  start();
}

void PrivatePulseServer::start() {
  address_ = runAndRead(kScript + " start " + directory_ + " " + kind_ + " 2>&1");
  running_ = true;
}

void PrivatePulseServer::startBare() {
  address_ = runAndRead(kScript + " start-bare " + directory_ + " " + kind_ + " 2>&1");
  running_ = true;
}

void PrivatePulseServer::addStandardDevices() {
  runAndRead(kScript + " devices " + directory_ + " 2>&1");
}

PrivatePulseServer::~PrivatePulseServer() {
  stop();
  runWhateverItGives("rm -rf " + directory_);
}

void PrivatePulseServer::playTone(const std::string& sink, double frequency, double amplitude,
                                  double seconds) {
  runInBackground("sox -q -V1 -n -r 48000 -c 2 -b 16 -t wav - synth " + std::to_string(seconds) + " sine " +
                  std::to_string(frequency) + " vol " + std::to_string(amplitude) +
                  " | PULSE_SERVER=" + address_ + " exec paplay --latency-msec=20 -d " + sink);
}

void PrivatePulseServer::playSpeech(const std::string& sink, const std::string& voice,
                                    const std::string& text) {
  const std::string wav = directory_ + "/speech-" + voice + ".wav";
  runAndRead("espeak-ng -v " + voice + " -w " + wav + " '" + text + "' 2>&1");
  runInBackground("while :; do PULSE_SERVER=" + address_ + " paplay --latency-msec=20 -d " + sink + " " +
                  wav + "; done");
}

void PrivatePulseServer::startRoom(double delaySeconds, double gainDb) {
  runInBackground("PULSE_SERVER=" + address_ + " exec " + std::string(ZARVI_SOURCE_DIR) +
                  "/scripts/simulated-room.sh " + std::to_string(delaySeconds) + " " +
                  std::to_string(gainDb));
}

void PrivatePulseServer::runInBackground(const std::string& command) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  players_.push_back(pid);
}

void PrivatePulseServer::stopPlaying() {
  for (const pid_t pid : players_) {
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  players_.clear();
}

void PrivatePulseServer::addHeadphones() {
  pactl(
      "load-module module-null-sink sink_name=headphones rate=48000 channels=2 "
      "sink_properties=\"'device.description=Headphones device.class=sound priority.session=1500'\"");
}

void PrivatePulseServer::addUsbMicrophone() {
  pactl(
      "load-module module-null-sink sink_name=usbfeed rate=48000 channels=1 "
      "sink_properties=\"'device.description=USB-feed priority.session=1'\"");
  pactl(
      "load-module module-remap-source source_name=usbmic master=usbfeed.monitor "
      "source_properties=\"'device.description=USB-Microphone device.class=sound priority.session=1500'\"");
}

std::string PrivatePulseServer::pactl(const std::string& arguments) {
  return runAndRead("PULSE_SERVER=" + address_ + " pactl " + arguments + " 2>&1");
}

std::string PrivatePulseServer::moduleMaking(const std::string& nameArgument) {
  const std::string modules = pactl("list short modules");
  std::size_t at = modules.find(nameArgument + " ");
  if (at == std::string::npos) throw std::runtime_error("no module made " + nameArgument + ":\n" + modules);
  at = modules.rfind('\n', at);
  at = at == std::string::npos ? 0 : at + 1;
  return modules.substr(at, modules.find('\t', at) - at);
}

double PrivatePulseServer::micRate() {
  // "2	mic	module-remap-source.c	s16le 2ch 44100Hz	IDLE"
  const std::string sources = pactl("list short sources");
  const std::size_t line = sources.find("\tmic\t");
  const std::size_t hz = sources.find("Hz", line);
  if (line == std::string::npos || hz == std::string::npos) throw std::runtime_error("no mic:\n" + sources);
  const std::size_t digits = sources.rfind(' ', hz) + 1;
  return std::stod(sources.substr(digits, hz - digits));
}

std::string PrivatePulseServer::micFormatEvent() {
  return "status mic_format: " + std::to_string(static_cast<int>(micRate())) + ".0Hz, 2ch";
}

std::size_t PrivatePulseServer::micBlockBytes() {
  // The block lengths that convert to whole 16 kHz samples: 3969 frames at 44.1 kHz, 4095 at 48 kHz.
  const double rate = micRate();
  if (rate == 44100.0) return 2 * 1440;
  if (rate == 48000.0) return 2 * 1365;
  throw std::runtime_error("no block length known for " + std::to_string(rate) + " Hz");
}

void PrivatePulseServer::kill() {
  stopPlaying();
  runWhateverItGives(kScript + " kill " + directory_);
  running_ = false;
}

void PrivatePulseServer::signal(int number) {
  runWhateverItGives("kill -" + std::to_string(number) + " $(cat " + directory_ + "/server.pids)");
}

void PrivatePulseServer::stop() {
  stopPlaying();
  if (!running_) return;
  runWhateverItGives(kScript + " stop " + directory_);
  running_ = false;
}

double blockAmplitude(std::span<const double> samples, double frequency) {
  const auto n = static_cast<double>(samples.size());
  const double omega = 2.0 * std::numbers::pi * frequency / 16000.0;
  double re = 0.0;
  double im = 0.0;
  double windowSum = 0.0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / (n - 1));
    re += samples[i] * window * std::cos(omega * static_cast<double>(i));
    im -= samples[i] * window * std::sin(omega * static_cast<double>(i));
    windowSum += window;
  }
  return 2.0 * std::hypot(re, im) / windowSum;
}

double toneAmplitude(const std::vector<double>& samples, double frequency) {
  constexpr std::size_t kBlock = 1440;
  std::vector<double> amplitudes;
  for (std::size_t at = 0; at + kBlock <= samples.size(); at += kBlock) {
    amplitudes.push_back(blockAmplitude(std::span(samples).subspan(at, kBlock), frequency));
  }
  if (amplitudes.empty()) return 0.0;
  std::nth_element(amplitudes.begin(), amplitudes.begin() + amplitudes.size() / 2, amplitudes.end());
  return amplitudes[amplitudes.size() / 2];
}

}  // namespace zarvi::testing
