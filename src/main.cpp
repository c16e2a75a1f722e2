#include <thread>

#include "control/capture_controller.h"
#include "os/standard_streams.h"
#include "os/stop_signals.h"
#include "os/thread_name.h"
#include "platform/platform.h"
#include "protocol/command_line.h"
#include "protocol/command_reader.h"
#include "protocol/events.h"
#include "protocol/pcm_writer.h"
#include "protocol/process_values.h"
#include "runtime/serial_queue.h"

namespace {

// Runs on the control queue, one command at a time in the order they arrived. The first QUIT or end
// of input to run ends the process, so whatever is queued behind it never runs.
void runCommand(zarvi::CaptureController& controller, zarvi::EventSink& events, zarvi::Command command) {
  using zarvi::Command;
  switch (command) {
    case Command::start:
      controller.start();
      return;
    case Command::stop:
      controller.stop();
      return;
    case Command::quit:
      controller.stop();
      events.emitEvent(zarvi::EventType::status, "quitting");
      zarvi::os::exitProcess(0);
    case Command::endOfInput:
      controller.stop();
      zarvi::os::exitProcess(0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  zarvi::os::holdStopSignals();
  zarvi::os::prepareStandardStreams();
  if (const auto status = zarvi::answerArguments({argv + 1, static_cast<std::size_t>(argc - 1)}))
    return *status;
  zarvi::VERBOSE_AUDIO = zarvi::environmentSwitchIsOn("ZARVI_AUDIO_VERBOSE");
  // main never returns, so everything made here lives as long as the process. The protocol's two
  // output streams are made here and handed to whatever writes them.
  zarvi::StandardErrorEvents events;
  zarvi::StandardOutputPcm pcm;
  events.emitEvent(zarvi::EventType::status, "ready");

  const auto platform = zarvi::platform::makePlatform();
  zarvi::CaptureController controller(*platform, events, pcm);
  zarvi::runtime::SerialQueue controlQueue("zarvi.control");
  const auto onCommand = [&](zarvi::Command command) {
    controlQueue.async([&controller, &events, command] { runCommand(controller, events, command); });
  };
  zarvi::CommandReader reader(zarvi::os::kStandardInput, onCommand, events);
  std::thread readerThread([&reader] {
    zarvi::os::nameCurrentThread("stdin-reader");
    reader.run();
  });
  readerThread.detach();

  // A request to end is the end of input: the capture stops with its events and all it captured.
  zarvi::os::waitForStopSignals([&] { onCommand(zarvi::Command::endOfInput); });
}
