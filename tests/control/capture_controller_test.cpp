#include "control/capture_controller.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "fakes/fake_echo_canceller.h"
#include "fakes/fake_platform.h"
#include "protocol/process_values.h"
#include "signal/echo_canceller.h"
#include "support/event_lines.h"
#include "support/os.h"
#include "support/pcm.h"
#include "support/recorded_output.h"

namespace zarvi {
namespace {

using Events = std::vector<std::string>;
using testing::OutputSince;

const Events kMicStart = {"status mic_format: 48000.0Hz, 2ch", "status mic_started"};

Events concat(std::initializer_list<Events> parts) {
  Events all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class CaptureControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::unsetEnvironment("ZARVI_AUDIO_MIC_ONLY");
    VERBOSE_AUDIO = false;
  }
  void TearDown() override {
    for (const char* name :
         {"ZARVI_AUDIO_MIC_ONLY", "ZARVI_AUDIO_ECHO_CANCEL", "ZARVI_AUDIO_SEPARATE_TRACKS"})
      testing::unsetEnvironment(name);
  }

  // Runs the operations and returns the events they wrote, debug lines left out.
  template <typename... Operations>
  Events run(Operations... operations) {
    const OutputSince err(events);
    (operations(), ...);
    return testing::events(err.contents());
  }
  auto start() {
    return [this] { controller.start(); };
  }
  auto stop() {
    return [this] { controller.stop(); };
  }

  fakes::FakePlatform platform;
  testing::RecordedEvents events;
  testing::RecordedPcm pcmOut;
  CaptureController controller{platform, events, pcmOut};
};

TEST_F(CaptureControllerTest, AFullRunStartsSystemAudioFirstAndStopsItFirst) {
  EXPECT_EQ(run(start()), concat({{"status system_started"}, kMicStart, {"status capture_started"}}));
  EXPECT_TRUE(controller.capturing());
  EXPECT_EQ(run(stop()), (Events{"status system_stopped", "status mic_stopped", "status capture_stopped"}));
  EXPECT_FALSE(controller.capturing());
  ASSERT_EQ(platform.service->streams.size(), 1U);
  EXPECT_TRUE(platform.service->streams[0]->stopped);
  EXPECT_TRUE(platform.service->streams[0]->destroyed);
}

TEST_F(CaptureControllerTest, ConfiguresTheStreamAndExcludesOnlyThisProcess) {
  platform.service->content.displays = {{"first", "first.monitor"}, {"second", "second.monitor"}};
  platform.service->content.applications = {
      {1, "other"}, {4242, "self"}, {7, "another"}, {4242, "self again"}};
  run(start());
  ASSERT_EQ(platform.service->streams.size(), 1U);
  const auto& stream = *platform.service->streams[0];
  EXPECT_EQ(stream.filter.display.name, "first");
  ASSERT_EQ(stream.filter.excludedApplications.size(), 2U);
  EXPECT_EQ(stream.filter.excludedApplications[0].name, "self");
  EXPECT_EQ(stream.filter.excludedApplications[1].name, "self again");
  const auto& c = stream.configuration;
  EXPECT_TRUE(c.capturesAudio);
  EXPECT_EQ(c.sampleRate, 48000);
  EXPECT_EQ(c.channelCount, 2);
  EXPECT_EQ(c.width, 2);
  EXPECT_EQ(c.height, 2);
  EXPECT_EQ(c.minimumFrameInterval.value, 1);
  EXPECT_EQ(c.minimumFrameInterval.timescale, 1);
  ASSERT_EQ(stream.outputs.size(), 2U);
  EXPECT_EQ(stream.outputs[0].second, platform::OutputType::audio);
  EXPECT_EQ(stream.outputs[1].second, platform::OutputType::screen);

  platform.service->content.applications = {{1, "other"}};
  run(stop(), start());
  EXPECT_TRUE(platform.service->streams[1]->filter.excludedApplications.empty());
}

TEST_F(CaptureControllerTest, EachSystemAudioFailureLeavesAMicrophoneOnlyRun) {
  const struct {
    const char* step;
    std::optional<std::string> fakes::ServiceScript::*failure;
    bool watches;  // for an output, so that system audio comes in once there is one
  } cases[] = {
      {"content", &fakes::ServiceScript::contentError, true},
      {"audio output", &fakes::ServiceScript::addAudioError, false},
      {"screen output", &fakes::ServiceScript::addScreenError, false},
      {"start", &fakes::ServiceScript::startError, true},
  };
  for (const auto& c : cases) {
    fakes::FakePlatform failing;
    (*failing.service).*c.failure = std::string("it \"broke\" at ") + c.step;
    CaptureController subject(failing, events, pcmOut);
    const OutputSince err(events);
    subject.start();
    subject.stop();
    EXPECT_EQ(testing::events(err.contents()),
              concat({{"warn system_audio_start_failed: it \"broke\" at " + std::string(c.step)},
                      kMicStart,
                      {"status capture_started", "status mic_stopped", "status capture_stopped"}}))
        << c.step;
    ASSERT_FALSE(failing.service->streams.empty()) << c.step;
    const auto& last = *failing.service->streams.back();
    EXPECT_EQ(last.onDeviceChange != nullptr, c.watches) << c.step;
    EXPECT_EQ(last.stopped, c.watches) << c.step;
    for (const auto& stream : failing.service->streams) EXPECT_TRUE(stream->destroyed) << c.step;
  }
}

TEST_F(CaptureControllerTest, NoDisplayWarnsAndGoesOnWithTheMicrophoneUntilAnOutputComes) {
  platform.service->content.displays.clear();
  EXPECT_EQ(run(start()), concat({{"warn system_audio_no_display"}, kMicStart, {"status capture_started"}}));
  ASSERT_EQ(platform.service->streams.size(), 1U);
  const auto& stream = *platform.service->streams[0];
  EXPECT_TRUE(stream.watching);
  EXPECT_FALSE(stream.started);
  EXPECT_EQ(stream.filter.display.monitorSourceName, "");
  EXPECT_EQ(run([&] {
              stream.changeDevice({platform::DeviceChange::resumed, "Speaker", {}});
            }),
            Events{"status system_audio_resumed: Speaker"});
  // The stop answers the start: no system audio was started with the capture.
  EXPECT_EQ(run(stop()), (Events{"status mic_stopped", "status capture_stopped"}));
  EXPECT_TRUE(stream.stopped);
  EXPECT_TRUE(stream.destroyed);
}

TEST_F(CaptureControllerTest, MicrophoneOnlyModeIsReadAtEveryStartAndOnlyForOne) {
  testing::setEnvironment("ZARVI_AUDIO_MIC_ONLY", "1");
  EXPECT_EQ(run(start(), stop()),
            concat({{"status mic_only_mode"},
                    kMicStart,
                    {"status capture_started", "status mic_stopped", "status capture_stopped"}}));
  EXPECT_EQ(platform.service->contentQueries, 0);
  for (const char* off : {"true", "0", "", " 1"}) {
    testing::setEnvironment("ZARVI_AUDIO_MIC_ONLY", off);
    const Events events = run(start(), stop());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), "status system_started") << "'" << off << "'";
  }
}

TEST_F(CaptureControllerTest, AFailedMicrophoneStillCapturesAndItsStopLeavesNoTap) {
  platform.engine->startError = "Device \"gone\"";
  EXPECT_EQ(run(start()), (Events{"status system_started", "status mic_format: 48000.0Hz, 2ch",
                                  "error Mic start failed: Device \"gone\"", "status capture_started"}));
  EXPECT_TRUE(controller.capturing());
  EXPECT_EQ(platform.engine->tapsInstalled(), 1) << "the tap waits for a microphone";
  EXPECT_EQ(run(stop()), (Events{"status system_stopped", "status capture_stopped"}));
  EXPECT_EQ(platform.engine->tapsInstalled(), 0);

  platform.engine->startError.reset();
  run(start());
  EXPECT_EQ(platform.engine->tapsInstalled(), 1);
  EXPECT_EQ(platform.engine->requestedFrames, 4096U);
}

TEST_F(CaptureControllerTest, SourcesThatFailAndComeBackAtOnceSaySoAfterTheStartsEvents) {
  using platform::DeviceChange;
  platform.service->content.displays.clear();
  platform.service->eventAtOnce = platform::DeviceEvent{DeviceChange::resumed, "Speaker", {}};
  platform.engine->startError = "no microphone: none";
  platform.engine->eventAtOnce =
      platform::DeviceEvent{DeviceChange::resumed,
                            "USB Microphone",
                            {48000.0, 1, platform::kCommonFormatFloat32, false, "usb-mic"}};
  const OutputSince out(pcmOut);
  const Events events = run(start(), [&] {
    platform.service->teller.join();
    platform.engine->teller.join();
  });
  const Events startEvents{"warn system_audio_no_display", "status mic_format: 48000.0Hz, 2ch",
                           "error Mic start failed: no microphone: none", "status capture_started"};
  ASSERT_EQ(events.size(), 6U);
  EXPECT_EQ(Events(events.begin(), events.begin() + 4), startEvents);
  EXPECT_TRUE(std::is_permutation(
      events.begin() + 4, events.end(),
      Events{"status system_audio_resumed: Speaker", "status mic_resumed: USB Microphone"}.begin()));
  // The microphone drives, as its return left it: system audio waits for it.
  controller.sharedMixer().pushSystem(std::vector<float>(100, 0.5F));
  EXPECT_EQ(out.contents(), "");
  EXPECT_EQ(run(stop()), Events{"status capture_stopped"});
}

TEST_F(CaptureControllerTest, EchoCancellingSaysRightBeforeCaptureStartedWhetherItRunsAndWhyNot) {
  const auto canceller = makeEchoCanceller();
  const std::string whenItCan =
      canceller ? "status echo_cancel_started" : "warn echo_cancel_unavailable: " + canceller.error();
  const struct {
    const char* what;
    bool micOnly;
    bool systemFails;
    std::string event;
  } cases[] = {
      {"both sources", false, false, whenItCan},
      {"microphone only", true, false,
       "warn echo_cancel_unavailable: microphone-only mode records no system audio"},
      // A build without a canceller says so first: that holds for the whole capture, while system
      // audio may still come.
      {"no system audio", false, true,
       canceller ? "warn echo_cancel_unavailable: no system audio"
                 : "warn echo_cancel_unavailable: " + canceller.error()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fakes::FakePlatform subjectPlatform;
    if (c.systemFails) subjectPlatform.service->startError = "gone";
    CaptureController subject(subjectPlatform, events, pcmOut);
    testing::setEnvironment("ZARVI_AUDIO_MIC_ONLY", c.micOnly ? "1" : "0");
    testing::setEnvironment("ZARVI_AUDIO_ECHO_CANCEL", "1");
    const OutputSince err(events);
    subject.start();
    const Events started = testing::events(err.contents());
    ASSERT_GE(started.size(), 2U);
    EXPECT_EQ(Events(started.end() - 2, started.end()), (Events{c.event, "status capture_started"}));
    subject.stop();
    // Read at every START: off again, nothing of it.
    testing::setEnvironment("ZARVI_AUDIO_ECHO_CANCEL", "true");
    const OutputSince again(events);
    subject.start();
    EXPECT_EQ(again.contents().find("echo_cancel"), std::string::npos);
    subject.stop();
  }
}

TEST_F(CaptureControllerTest, ACancellerThatWaitedForSystemAudioStartsWhenSystemAudioResumes) {
  const auto record = std::make_shared<fakes::CancellerRecord>();
  platform.service->startError = "gone";
  CaptureController subject(platform, events, pcmOut, fakes::fakeCancellerMaker(record));
  testing::setEnvironment("ZARVI_AUDIO_ECHO_CANCEL", "1");
  const Events started = run([&] { subject.start(); });
  ASSERT_GE(started.size(), 2U);
  EXPECT_EQ(Events(started.end() - 2, started.end()),
            (Events{"warn echo_cancel_unavailable: no system audio", "status capture_started"}));
  const OutputSince out(pcmOut);
  subject.sharedMixer().pushMic(std::vector<float>{0.5F});  // as it comes
  EXPECT_EQ(
      run([&] {
        platform.service->streams.back()->changeDevice({platform::DeviceChange::resumed, "Speaker", {}});
      }),
      (Events{"status system_audio_resumed: Speaker", "status echo_cancel_started"}));
  subject.sharedMixer().pushMic(std::vector<float>{0.5F});  // cancelled: the fake halves it
  EXPECT_EQ(testing::pcmSamples(out.contents()), (std::vector<std::int16_t>{16383, toPcmSample(0.25F)}));
  EXPECT_EQ(record->made, 1);
  EXPECT_EQ(record->resets, 1);  // it starts from nothing
  run([&] { subject.stop(); });
}

TEST_F(CaptureControllerTest, ACaptureOnTheDevicesOfTheLastStartsFromWhatItsCancellerLearnt) {
  const auto record = std::make_shared<fakes::CancellerRecord>();
  CaptureController subject(platform, events, pcmOut, fakes::fakeCancellerMaker(record));
  testing::setEnvironment("ZARVI_AUDIO_ECHO_CANCEL", "1");
  const auto capture = [&](const std::function<void()>& during = [] {}) {
    run([&] { subject.start(); });
    during();
    run([&] { subject.stop(); });
  };
  const struct {
    const char* what;
    std::function<void()> before;
    std::function<void()> during;
    int made;    // cancellers made so far
    int resets;  // times one started over so far
    int pauses;  // times one was kept so far
  } steps[] = {
      {"first capture", [] {}, [] {}, 1, 0, 1},
      {"same devices", [] {}, [] {}, 1, 0, 2},
      {"another microphone", [&] { platform.engine->format.deviceId = "usb-mic"; }, [] {}, 1, 1, 3},
      {"another output",
       [&] {
         platform.service->content.displays = {{"hdmi", "hdmi.monitor"}};
       },
       [] {}, 1, 2, 4},
      {"the output switches during the capture", [] {},
       [&] {
         platform.service->streams.back()->changeDevice({platform::DeviceChange::switched, "Headphones", {}});
       },
       1, 3, 4},
      {"after a capture whose path changed", [] {}, [] {}, 2, 3, 5},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    capture(step.during);
    EXPECT_EQ(record->made, step.made);
    EXPECT_EQ(record->resets, step.resets);
    EXPECT_EQ(record->pauses, step.pauses);
  }
}

TEST_F(CaptureControllerTest, StartWhileCapturingOnlyWarnsAndStopWhileIdleSaysNothing) {
  EXPECT_EQ(run(stop()), Events{});
  run(start());
  controller.sharedMixer().pushSystem(std::vector<float>(100, 0.5F));
  EXPECT_EQ(run(start()), Events{"warn Already capturing"});
  EXPECT_EQ(controller.sharedMixer().waitingSystemSamples(), 100U);
  EXPECT_EQ(platform.service->streams.size(), 1U);
  EXPECT_EQ(platform.engine->installs, 1);
}

TEST_F(CaptureControllerTest, ARestartKeepsItsSourcesAndDropsWaitingSystemAudio) {
  VERBOSE_AUDIO = true;
  run(start());
  const auto& firstStream = *platform.service->streams[0];
  const float frames[480 * 2] = {};
  const platform::SampleBuffer buffer{true, platform::StreamBasicDescription{48000, 9, 8, 1, 8, 2, 32},
                                      platform::ByteRun{frames, sizeof frames}};
  const OutputSince out(pcmOut);
  const OutputSince err(events);
  firstStream.deliver(buffer, platform::OutputType::audio);
  EXPECT_EQ(controller.sharedMixer().waitingSystemSamples(), 160U);
  controller.stop();
  controller.start();
  EXPECT_EQ(controller.sharedMixer().waitingSystemSamples(), 0U);
  platform.service->streams[1]->deliver(buffer, platform::OutputType::audio);

  EXPECT_EQ(platform.enginesMade, 1);
  ASSERT_EQ(platform.service->streams.size(), 2U);
  EXPECT_EQ(platform.service->streams[0]->outputs[0].first, platform.service->streams[1]->outputs[0].first);
  EXPECT_EQ(platform.service->streams[0]->audioQueue, platform.service->streams[1]->audioQueue);
  const Events debug = testing::events(err.contents(), true);
  EXPECT_EQ(std::count_if(debug.begin(), debug.end(),
                          [](const std::string& e) { return e.starts_with("debug sys_format"); }),
            1);
  EXPECT_EQ(std::count(debug.begin(), debug.end(), "debug sys_buf#2 postResample n=160 rms=0.0000"), 1);
}

TEST_F(CaptureControllerTest, AFailedStreamStopStillSaysSystemStopped) {
  platform.service->stopError = "stop failed";
  run(start());
  EXPECT_EQ(run(stop()), (Events{"status system_stopped", "status mic_stopped", "status capture_stopped"}));
  EXPECT_TRUE(platform.service->streams[0]->destroyed);
}

TEST_F(CaptureControllerTest, SourcesThatFollowTheDefaultsSaySoAndCaptureGoesOn) {
  using platform::DeviceChange;
  run(start());
  const auto& stream = *platform.service->streams[0];
  const platform::InputFormat usb{48000.0, 1, platform::kCommonFormatFloat32, false, "usb-mic"};
  EXPECT_EQ(run(
                [&] {
                  stream.changeDevice({DeviceChange::lost, "Connection terminated", {}});
                },
                [&] {
                  platform.engine->changeDevice({DeviceChange::lost, "Connection terminated", {}});
                },
                [&] {
                  stream.changeDevice({DeviceChange::resumed, "Speaker", {}});
                },
                [&] {
                  platform.engine->changeDevice({DeviceChange::resumed, "Microphone", usb});
                },
                [&] {
                  stream.changeDevice({DeviceChange::switched, "Headphones \"Pro\"", {}});
                },
                [&] {
                  platform.engine->changeDevice({DeviceChange::switched, "USB Microphone", usb});
                }),
            (Events{"warn system_audio_stream_failed: Connection terminated",
                    "error Mic stream failed: Connection terminated", "status system_audio_resumed: Speaker",
                    "status mic_resumed: Microphone", "status system_audio_switched: Headphones \"Pro\"",
                    "status mic_switched: USB Microphone"}));
  EXPECT_TRUE(controller.capturing());
  EXPECT_EQ(run(stop()), (Events{"status system_stopped", "status mic_stopped", "status capture_stopped"}));
}

}  // namespace
}  // namespace zarvi
