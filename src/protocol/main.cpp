#include <unistd.h>

#include "platform/standard_streams.h"
#include "protocol/events.h"
#include "protocol/process_values.h"

int main() {
  zarvi::platform::ignoreBrokenPipes();
  zarvi::VERBOSE_AUDIO = zarvi::environmentSwitchIsOn("ZARVI_AUDIO_VERBOSE");
  zarvi::emitEvent(zarvi::EventType::status, "ready");
  // The process ends elsewhere; the main thread only has to stay out of the way.
  for (;;) ::pause();
}
