#include "protocol/command_line.h"

#include <string_view>

#include "os/standard_streams.h"

namespace zarvi {

std::string usageText() {
  return R"(Usage: zarvi-audio-capture [--help | --version]

Records the default microphone and the sound the whole system plays, mixes them and writes
16 kHz mono PCM. A host application starts it as a child process and talks to it through its
standard streams; started with no arguments it serves until QUIT or the end of stdin.

stdin    one command per line (case and surrounding blanks ignored):
           START   start capturing
           STOP    stop capturing
           QUIT    stop, then exit with status 0 (the end of stdin does the same)
stdout   headerless PCM: signed 16-bit little-endian, mono, 16000 samples per second
stderr   one JSON object per line: {"type":"status|warn|error|debug","msg":"..."}
           e.g. {"type":"status","msg":"capture_started"}

Environment (each on only for the exact value 1):
  ZARVI_AUDIO_VERBOSE=1    per-buffer debug events
  ZARVI_AUDIO_MIC_ONLY=1   record the microphone alone
  PULSE_SERVER             the sound server (PulseAudio, or PipeWire through pipewire-pulse)

Every event and limit: man zarvi-audio-capture, or the README (in the source tree, and
installed as /usr/share/doc/zarvi-audio-capture/README.md).
)";
}

std::optional<int> answerArguments(std::span<const char* const> arguments) {
  if (arguments.empty()) return std::nullopt;
  const std::string_view argument = arguments.front();
  std::string answer;
  if (arguments.size() == 1 && argument == "--help") {
    answer = usageText();
    os::writeStandardOutput(answer.data(), answer.size());
    return 0;
  }
  if (arguments.size() == 1 && argument == "--version") {
    answer = "zarvi-audio-capture " ZARVI_VERSION "\necho canceller: " ZARVI_ECHO_CANCELLER "\n";
    os::writeStandardOutput(answer.data(), answer.size());
    return 0;
  }
  const std::string_view unexpected =
      argument == "--help" || argument == "--version" ? arguments[1] : argument;
  answer = "zarvi-audio-capture: unknown argument '" + std::string(unexpected) + "'\n\n" + usageText();
  os::writeStandardError(answer.data(), answer.size());
  return 2;
}

}  // namespace zarvi
