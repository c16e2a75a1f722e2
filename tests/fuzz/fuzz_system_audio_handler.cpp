// Arbitrary sample buffers through the system-audio handler: any description fields, flags, output
// type and byte run (odd lengths, huge channel counts, NaN and 0 rates, unaligned data). The run is
// copied into a heap block of exactly its length, so any read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "protocol/process_values.h"
#include "signal/audio_mixer.h"
#include "sources/system_audio_handler.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zarvi::VERBOSE_AUDIO = true;  // every debug line of the handler is built
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zarvi::platform;
  const auto switches = zarvi::fuzzing::take<std::uint8_t>(data, size);
  StreamBasicDescription description;
  description.sampleRate = zarvi::fuzzing::take<double>(data, size);
  description.formatFlags = zarvi::fuzzing::take<std::uint32_t>(data, size);
  description.bytesPerPacket = zarvi::fuzzing::take<std::uint32_t>(data, size);
  description.framesPerPacket = zarvi::fuzzing::take<std::uint32_t>(data, size);
  description.bytesPerFrame = zarvi::fuzzing::take<std::uint32_t>(data, size);
  description.channelsPerFrame = zarvi::fuzzing::take<std::uint32_t>(data, size);
  description.bitsPerChannel = zarvi::fuzzing::take<std::uint32_t>(data, size);
  const std::size_t misalignment = zarvi::fuzzing::take<std::uint8_t>(data, size) % 4;

  std::vector<std::uint8_t> block(misalignment + size);
  if (size > 0) std::memcpy(block.data() + misalignment, data, size);
  SampleBuffer buffer;
  buffer.isValid = (switches & 1) == 0;
  if ((switches & 2) == 0) buffer.description = description;
  if ((switches & 4) == 0) {
    buffer.data =
        ByteRun{(switches & 8) == 0 ? block.data() + misalignment : nullptr, static_cast<std::int64_t>(size)};
  }
  const OutputType type = (switches & 16) == 0 ? OutputType::audio : OutputType::screen;

  // Lines and PCM are built but go nowhere: the checks are on the handler's own bounds.
  struct : zarvi::EventSink {
    void emitEvent(zarvi::EventType, std::string_view) override {}
  } events;
  struct : zarvi::PcmWriter {
    void writePcm(std::string_view) override {}
  } pcm;
  auto mixer = std::make_shared<zarvi::AudioMixer>(pcm, events);
  zarvi::SystemAudioHandler handler(mixer, events);
  handler.didOutput(buffer, type);
  handler.didOutput(buffer, type);  // the second one takes the path without the format line
  if (mixer->waitingSystemSamples() > static_cast<std::size_t>(zarvi::AudioMixer::maxSysBufferSamples))
    std::abort();
  mixer->pushMic(std::vector<float>(1 + switches % 64, 0.25F));
  return 0;
}
