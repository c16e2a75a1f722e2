// The desktop changes under a running capture: outputs and microphones come, go and change places, and
// the server restarts. Each device plays a tone of its own, so 0.25 s windows of the PCM tell which
// device is heard, and at what level.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/event_lines.h"
#include "support/pcm.h"
#include "support/private_pulse_server.h"

namespace zarvi {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Events = std::vector<std::string>;
using testing::ChildProcess;
using testing::PrivatePulseServer;

constexpr double kSpeakerTone = 440.0;
constexpr double kHeadphonesTone = 660.0;
constexpr double kMicTone = 1000.0;
constexpr double kUsbMicTone = 1500.0;
constexpr double kSpeakerLevel = 0.5;
constexpr double kMicLevel = 0.25;

constexpr std::size_t kWindow = 4000;  // 0.25 s
constexpr std::size_t kHop = 800;      // 0.05 s
constexpr std::size_t kSecond = 16000;

const std::string kCaptureStarted = R"({"type":"status","msg":"capture_started"})";

// The extra devices a scenario starts with, beside the speaker and the microphone.
struct Desk {
  bool headphones = false;
  bool usbMicrophone = false;
};

void addDevices(PrivatePulseServer& server, const Desk& desk) {
  if (desk.headphones) server.addHeadphones();
  if (desk.usbMicrophone) server.addUsbMicrophone();
}

void playTones(PrivatePulseServer& server, const Desk& desk) {
  server.playTone("speaker", kSpeakerTone, kSpeakerLevel, 120);
  server.playTone("micsink", kMicTone, kMicLevel, 120);
  if (desk.headphones) server.playTone("headphones", kHeadphonesTone, kSpeakerLevel, 120);
  if (desk.usbMicrophone) server.playTone("usbfeed", kUsbMicTone, kMicLevel, 120);
}

void restartServer(PrivatePulseServer& server, const Desk& desk) {
  server.kill();
  server.start();
  addDevices(server, desk);
  playTones(server, desk);
}

// What one change of the desktop must bring, judged on the PCM from the change on.
struct Step {
  std::string what;
  std::function<void(PrivatePulseServer&)> act;
  // One of these, in any order; "debug mic_format_full" must follow each microphone switch or return.
  std::vector<Events> events;
  double newTone = 0.0;           // heard within 1 s of the stream, at half its level or more; 0: none
  std::vector<double> goneTones;  // never heard once 1 s has passed
  std::vector<std::pair<double, double>> keptTones;      // tone, level: heard once, never twice
  std::vector<std::pair<double, double>> notAboveTones;  // tone, level: players may move, never doubled
};

struct Scenario {
  std::string name;
  Desk desk;
  std::vector<Step> steps;
};

// Test names and failure messages name the scenario, not its bytes.
void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

double windowAmplitude(const std::vector<double>& samples, std::size_t at, double tone) {
  return testing::blockAmplitude(std::span(samples).subspan(at, kWindow), tone);
}

double medianAmplitude(const std::vector<double>& samples, std::size_t from, std::size_t to, double tone) {
  std::vector<double> levels;
  for (std::size_t at = from; at + kWindow <= to; at += kWindow)
    levels.push_back(windowAmplitude(samples, at, tone));
  if (levels.empty()) return 0.0;
  std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
  return levels[levels.size() / 2];
}

// How long the tones are missing, all of them, in 25 ms steps over the second after the change.
double missingMs(const std::vector<double>& samples, std::size_t from,
                 const std::vector<std::pair<double, double>>& tones) {
  constexpr std::size_t kStep = 400;
  int missing = 0;
  for (std::size_t at = from; at < from + kSecond && at + kStep <= samples.size(); at += kStep) {
    const auto window = std::span(samples).subspan(at, kStep);
    const bool heard = std::any_of(tones.begin(), tones.end(), [&](const auto& tone) {
      return testing::blockAmplitude(window, tone.first) >= tone.second / 4;
    });
    if (!heard) ++missing;
  }
  return missing * 25.0;
}

bool sameEvents(Events actual, Events expected) {
  std::sort(actual.begin(), actual.end());
  std::sort(expected.begin(), expected.end());
  return actual == expected;
}

// A private server, and the tool's options to reach it.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { server = std::make_unique<PrivatePulseServer>(); }

  ChildProcess::Options options() {
    return {{{"PULSE_SERVER", server->address()}}, {"ZARVI_AUDIO_MIC_ONLY", "ZARVI_AUDIO_VERBOSE"}};
  }

  std::unique_ptr<PrivatePulseServer> server;
};

class DeviceTest : public ServerTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(DeviceTest, TheCaptureFollowsTheDesktop) {
  const Scenario& scenario = GetParam();
  addDevices(*server, scenario.desk);
  playTones(*server, scenario.desk);
  ChildProcess tool(options());
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStarted, 20s)) << tool.stderrText();
  const auto started = Clock::now();
  // Audio flows from both devices before anything changes.
  ASSERT_TRUE(tool.waitForStdout(2 * 2 * kSecond, 20s)) << tool.stderrText();

  struct Mark {
    Clock::time_point at;
    std::size_t sample;
    std::size_t eventLines;
  };
  std::vector<Mark> marks;
  for (const Step& step : scenario.steps) {
    marks.push_back({Clock::now(), tool.stdoutSize() / 2, tool.stderrLines().size()});
    step.act(*server);
    // Long enough for the change to settle and for 2 s of audio after it.
    const std::size_t until = tool.stdoutSize() + 2 * 3 * kSecond;
    EXPECT_TRUE(tool.waitForStdout(until, 20s)) << step.what << ": the PCM stopped\n" << tool.stderrText();
  }
  marks.push_back({Clock::now(), tool.stdoutSize() / 2, tool.stderrLines().size()});
  tool.writeStdin("STOP\nQUIT\n");
  ASSERT_EQ(tool.waitExit(20s), 0);

  const auto lines = tool.stderrLines();
  const auto samples = testing::pcmLevels(tool.stdoutBytes());
  const double elapsed = std::chrono::duration<double>(marks.back().at - started).count();
  // Nothing written twice: the stream never runs ahead of the clock (two blocks of slack).
  EXPECT_LE(static_cast<double>(samples.size()), elapsed * kSecond * 1.01 + 2 * 1440)
      << "elapsed " << elapsed;

  for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
    const Step& step = scenario.steps[i];
    const std::size_t from = marks[i].sample;
    const std::size_t to = std::min(marks[i + 1].sample, samples.size());
    SCOPED_TRACE(server->kind() + ", " + scenario.name + ": " + step.what);

    std::string text;
    for (std::size_t l = marks[i].eventLines; l < marks[i + 1].eventLines; ++l) text += lines[l] + "\n";
    const Events all = testing::events(text, true);
    Events statusLines;
    std::copy_if(all.begin(), all.end(), std::back_inserter(statusLines),
                 [](const std::string& e) { return !e.starts_with("debug "); });
    EXPECT_TRUE(std::any_of(step.events.begin(), step.events.end(), [&](const Events& expected) {
      return sameEvents(statusLines, expected);
    })) << text;
    for (auto line = all.begin(); line != all.end(); ++line) {
      if (line->starts_with("status mic_switched: ") || line->starts_with("status mic_resumed: ")) {
        EXPECT_NE(std::find_if(line, all.end(),
                               [](const std::string& e) { return e.starts_with("debug mic_format_full "); }),
                  all.end())
            << "no format line after " << *line;
      }
    }

    ASSERT_GT(to, from + 2 * kSecond) << "too little PCM after the change";
    if (step.newTone > 0.0) {
      const double expected = step.newTone == kHeadphonesTone ? kSpeakerLevel : kMicLevel;
      // Scanned from half a window before the change, so that a window's middle can fall on it.
      std::size_t onset = from - std::min(from, kWindow / 2);
      while (onset + kWindow <= to && windowAmplitude(samples, onset, step.newTone) < expected / 2)
        onset += kHop;
      ASSERT_LE(onset + kWindow, to) << "the new device is never heard";
      // The window holds at least half of the tone: its middle is no earlier than the tone's start.
      const std::size_t heard = std::max(onset + kWindow / 2, from);
      EXPECT_LE(heard - from, kSecond)
          << "the new device is heard only after " << (heard - from) << " samples";
      const auto arrival = tool.stdoutArrival(2 * heard);
      if (arrival) {
        std::printf("%s, %s, %s: new device heard %.0f ms after the change (%zu samples of stream)\n",
                    server->kind().c_str(), scenario.name.c_str(), step.what.c_str(),
                    std::chrono::duration<double, std::milli>(*arrival - marks[i].at).count(), heard - from);
      }
    }
    // What the change cost: the microphone drives the stream, so microphone audio that never came
    // leaves the stream behind the clock; system audio that never came leaves its tone missing.
    const double secondsBetween = std::chrono::duration<double>(marks[i + 1].at - marks[i].at).count();
    const double behindMs = (secondsBetween * kSecond - static_cast<double>(to - from)) / 16.0;
    std::printf(
        "%s, %s, %s: stream %.0f ms behind the clock over the %.1f s after the change; system audio "
        "missing for %.0f ms\n",
        server->kind().c_str(), scenario.name.c_str(), step.what.c_str(), behindMs, secondsBetween,
        missingMs(samples, from, {{kSpeakerTone, kSpeakerLevel}, {kHeadphonesTone, kSpeakerLevel}}));

    const std::size_t settled = from + kSecond;
    for (const double tone : step.goneTones) {
      for (std::size_t at = settled; at + kWindow <= to; at += kHop) {
        ASSERT_LT(windowAmplitude(samples, at, tone), 0.02) << tone << " Hz still heard at " << (at - from);
      }
    }
    for (const auto& [tone, level] : step.keptTones) {
      EXPECT_NEAR(medianAmplitude(samples, settled, to, tone), level, 0.2 * level) << tone << " Hz";
    }
    for (const auto& [tone, level] : step.notAboveTones) {
      EXPECT_LE(medianAmplitude(samples, settled, to, tone), 1.2 * level) << tone << " Hz";
    }
  }
}

Step unplugTheMicrophone() {
  return {"the only microphone is pulled",
          [](PrivatePulseServer& s) { s.pactl("unload-module " + s.moduleMaking("source_name=mic")); },
          {{"error Mic stream failed: no microphone: the sound server has no source that is not a monitor"}},
          0.0,
          {kMicTone},
          {{kSpeakerTone, kSpeakerLevel}},
          {}};
}

const Scenario kScenarios[] = {
    {"output_switch",
     {true, false},
     {{"the default sink becomes the headphones",
       [](PrivatePulseServer& s) { s.pactl("set-default-sink headphones"); },
       {{"status system_audio_switched: Headphones"}},
       kHeadphonesTone,
       {},
       {{kMicTone, kMicLevel}},
       {{kSpeakerTone, kSpeakerLevel}}}}},
    {"microphone_switch",
     {false, true},
     {{"the default source becomes the USB microphone",
       [](PrivatePulseServer& s) { s.pactl("set-default-source usbmic"); },
       {{"status mic_switched: USB-Microphone"}},
       kUsbMicTone,
       {kMicTone},
       {{kSpeakerTone, kSpeakerLevel}},
       {}},
      {"the USB microphone in use is pulled",
       [](PrivatePulseServer& s) { s.pactl("unload-module " + s.moduleMaking("source_name=usbmic")); },
       {{"status mic_switched: Microphone"}},
       kMicTone,
       {kUsbMicTone},
       {{kSpeakerTone, kSpeakerLevel}},
       {}}}},
    {"microphone_lost_and_back",
     {false, false},
     {unplugTheMicrophone(),
      {"the microphone is plugged back in",
       [](PrivatePulseServer& s) {
         s.pactl(
             "load-module module-remap-source source_name=mic master=micsink.monitor rate=44100 channels=2 "
             "source_properties=\"'device.description=Microphone device.class=sound "
             "priority.session=2000'\"");
         s.pactl("set-default-source mic");
       },
       {{"status mic_resumed: Microphone"}},
       kMicTone,
       {},
       {{kSpeakerTone, kSpeakerLevel}},
       {}}}},
    {"default_sink_removed",
     {true, false},
     {{"the default sink is removed",
       [](PrivatePulseServer& s) { s.pactl("unload-module " + s.moduleMaking("sink_name=speaker")); },
       {{"status system_audio_switched: Headphones"}},
       kHeadphonesTone,
       {},
       {{kMicTone, kMicLevel}},
       {{kSpeakerTone, kSpeakerLevel}}}}},
    {"server_restart",
     {false, false},
     {{"the server restarts",
       [](PrivatePulseServer& s) { restartServer(s, {}); },
       {{"error Mic stream failed: Connection terminated",
         "warn system_audio_stream_failed: Connection terminated", "status mic_resumed: Microphone",
         "status system_audio_resumed: Speaker"},
        // A restarted PipeWire has its "Dummy Output" as the default sink until the speaker is there.
        {"error Mic stream failed: Connection terminated",
         "warn system_audio_stream_failed: Connection terminated", "status mic_resumed: Microphone",
         "status system_audio_resumed: Dummy Output", "status system_audio_switched: Speaker"}},
       kMicTone,
       {},
       {{kSpeakerTone, kSpeakerLevel}, {kMicTone, kMicLevel}},
       {}}}},
};

INSTANTIATE_TEST_SUITE_P(Desktop, DeviceTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

using ServerRestartTest = ServerTest;

const std::string kMicResumed = R"({"type":"status","msg":"mic_resumed: Microphone"})";
const std::string kSystemResumed = R"({"type":"status","msg":"system_audio_resumed: )";

TEST_F(ServerRestartTest, StopWhileReconnectingEndsTheRetryingAtOnce) {
  ChildProcess tool(options());
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStarted, 20s)) << tool.stderrText();
  server->kill();
  ASSERT_TRUE(tool.waitForLine(R"({"type":"error","msg":"Mic stream failed: Connection terminated"})", 20s))
      << tool.stderrText();
  const auto stopSent = Clock::now();
  tool.writeStdin("STOP\n");
  ASSERT_TRUE(tool.waitForLine(R"({"type":"status","msg":"capture_stopped"})", 20s)) << tool.stderrText();
  const auto stopTook = Clock::now() - stopSent;
  std::printf("%s: STOP answered %.0f ms after it was sent, while reconnecting\n", server->kind().c_str(),
              std::chrono::duration<double, std::milli>(stopTook).count());
  EXPECT_LT(stopTook, 2s);
  // A server that comes back now is not picked up: the retrying ended with the capture.
  server->start();
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStarted, 20s, 2)) << tool.stderrText();
  tool.writeStdin("QUIT\n");
  ASSERT_EQ(tool.waitExit(20s), 0);
  const Events events = testing::events(tool.stderrText());
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) { return e.find("resumed") != std::string::npos; }),
            0)
      << tool.stderrText();
  const auto afterStop = std::find(events.begin(), events.end(), "status capture_stopped");
  ASSERT_NE(afterStop, events.end());
  EXPECT_EQ(Events(afterStop + 1, events.end()),
            (Events{"status system_started", server->micFormatEvent(), "status mic_started",
                    "status capture_started", "status system_stopped", "status mic_stopped",
                    "status capture_stopped", "status quitting"}));
}

TEST_F(ServerRestartTest, FiftyRestartsInARowLeaveNoMoreThreadsOrDescriptorsThanOne) {
  ChildProcess tool(options());
  tool.writeStdin("START\n");
  ASSERT_TRUE(tool.waitForLine(kCaptureStarted, 20s)) << tool.stderrText();
  int threadsAfterFirst = 0;
  int descriptorsAfterFirst = 0;
  for (int restart = 1; restart <= 50; ++restart) {
    restartServer(*server, {});
    ASSERT_TRUE(tool.waitForLine(kMicResumed, 20s, restart)) << "restart " << restart << "\n"
                                                             << tool.stderrText();
    // On whatever is the default output then: a restarted PipeWire may have its "Dummy Output" first.
    ASSERT_TRUE(tool.waitForStderr(
        [restart](const std::string& text) {
          int resumed = 0;
          for (std::size_t at = 0; (at = text.find(kSystemResumed, at)) != std::string::npos; at += 1)
            ++resumed;
          return resumed >= restart;
        },
        20s))
        << "restart " << restart << "\n"
        << tool.stderrText();
    if (restart == 1) {
      threadsAfterFirst = tool.threads();
      descriptorsAfterFirst = tool.openDescriptors();
    }
  }
  const int threadsAfterAll = tool.threads();
  const int descriptorsAfterAll = tool.openDescriptors();
  // PCM flows again with no command from the host.
  const std::size_t before = tool.stdoutSize();
  EXPECT_TRUE(tool.waitForStdout(before + 2 * kSecond, 20s));
  tool.writeStdin("STOP\nQUIT\n");
  ASSERT_EQ(tool.waitExit(20s), 0);
  std::printf("%s: after one restart %d threads, %d descriptors; after 50: %d threads, %d descriptors\n",
              server->kind().c_str(), threadsAfterFirst, descriptorsAfterFirst, threadsAfterAll,
              descriptorsAfterAll);
  EXPECT_LE(threadsAfterAll, threadsAfterFirst);
  EXPECT_LE(descriptorsAfterAll, descriptorsAfterFirst);
  const Events events = testing::events(tool.stderrText());
  EXPECT_EQ(std::count(events.begin(), events.end(), "error Mic stream failed: Connection terminated"), 50);
  EXPECT_EQ(
      std::count(events.begin(), events.end(), "warn system_audio_stream_failed: Connection terminated"), 50);
  EXPECT_EQ(
      std::count_if(events.begin(), events.end(),
                    [](const std::string& e) { return e.starts_with("status system_audio_resumed: "); }),
      50);
  EXPECT_EQ(std::count(events.begin(), events.end(), "status mic_resumed: Microphone"), 50);
}

}  // namespace
}  // namespace zarvi
