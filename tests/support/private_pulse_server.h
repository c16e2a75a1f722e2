#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace zarvi::testing {

// A sound server of the test's own, with the virtual devices of scripts/private-pulse.sh: the default
// sink "speaker" (48 kHz stereo) and the default source "mic", fed by the sink "micsink". PulseAudio,
// or PipeWire when ZARVI_TEST_SOUND_SERVER is "pipewire"; clients reach both through libpulse.
class PrivatePulseServer {
 public:
  PrivatePulseServer();  // starts it; throws when it does not come up
  ~PrivatePulseServer();

  // "pulseaudio" or "pipewire".
  const std::string& kind() const { return kind_; }
  // The microphone as the tool sees it: its rate (PipeWire runs it at its graph's rate), the status
  // event of its format, and the bytes of one of its PCM blocks.
  double micRate();
  std::string micFormatEvent();
  std::size_t micBlockBytes();
  PrivatePulseServer(const PrivatePulseServer&) = delete;
  PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

  // The PULSE_SERVER value that reaches it.
  const std::string& address() const { return address_; }
  // More devices of a desk: the sink "headphones" ("Headphones", 48 kHz stereo), and the source
  // "usbmic" ("USB-Microphone", 48 kHz mono), fed by the sink "usbfeed".
  void addHeadphones();
  void addUsbMicrophone();
  // Plays a sine tone into a sink until stopPlaying() or the server's end.
  void playTone(const std::string& sink, double frequency, double amplitude, double seconds);
  // Speaks the text with espeak-ng's voice into a sink, over and over, until stopPlaying().
  void playSpeech(const std::string& sink, const std::string& voice, const std::string& text);
  // A room (scripts/simulated-room.sh): the speaker's sound reaches the microphone's feed late,
  // reverberant and quieter, until stopPlaying().
  void startRoom(double delaySeconds, double gainDb);
  void stopPlaying();
  // Runs pactl against the server, for instance "set-default-source speaker.monitor"; its output.
  std::string pactl(const std::string& arguments);
  // The index of the module that made the named sink or source ("sink_name=headphones").
  std::string moduleMaking(const std::string& nameArgument);
  // Ends the server at once, as a crash would.
  void kill();
  // Sends a signal to the server: SIGSTOP freezes it, SIGCONT thaws it.
  void signal(int number);
  void stop();
  // Starts it again after stop() or kill(), at the same address.
  void start();
  // The same with none of the devices, as a server that a login session has only just started;
  // addStandardDevices() adds them, the speaker and the microphone the defaults.
  void startBare();
  void addStandardDevices();

 private:
  std::string kind_;
  std::string directory_;
  std::string address_;
  void runInBackground(const std::string& command);

  std::vector<pid_t> players_;
  bool running_ = false;
};

// One block's amplitude of the sine of the given frequency in 16 kHz samples (full scale 1.0), over a
// Hann window so that the block's edges do not leak between frequencies.
double blockAmplitude(std::span<const double> samples, double frequency);

// The amplitude of the sine of the given frequency in 16 kHz samples (full scale 1.0): the median
// over blocks of 1440 samples, so that a place where the system audio runs late (its phase moves)
// does not read as a lower level.
double toneAmplitude(const std::vector<double>& samples, double frequency);

}  // namespace zarvi::testing
