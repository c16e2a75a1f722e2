#include "platform/pulse/pulse_recording.h"

namespace zarvi::pulse {
namespace {

// On the server's thread, with its lock held: copy what arrived and return at once.
void onReadable(pa_stream* stream, std::size_t /*nbytes*/, void* data) {
  auto& cutter = *static_cast<PulseRecording::Session*>(data)->cutter;
  for (;;) {
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (pa_stream_peek(stream, &bytes, &size) < 0 || size == 0) break;
    if (bytes != nullptr) {
      cutter.write(bytes, size);
    } else {
      cutter.writeSilence(size);
    }
    pa_stream_drop(stream);
  }
  cutter.handOn();
}

void onStateChanged(pa_stream* stream, void* data) {
  auto* session = static_cast<PulseRecording::Session*>(data);
  session->context->signal();
  if (pa_stream_get_state(stream) == PA_STREAM_FAILED && session->ready) session->cutter->reportDeath();
}

}  // namespace

PulseRecording::PulseRecording(std::shared_ptr<PulseContext> context,
                               std::shared_ptr<platform::BlockCutter> cutter)
    : context_(std::move(context)), session_{std::move(cutter), context_.get(), false} {}

Result<std::unique_ptr<PulseRecording>> PulseRecording::open(const std::shared_ptr<PulseContext>& context,
                                                             const std::string& sourceName,
                                                             std::shared_ptr<platform::BlockCutter> cutter,
                                                             Deadline deadline) {
  const auto& shape = cutter->shape();
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, shape.rate, static_cast<std::uint8_t>(shape.channels)};
  const std::size_t fragmentBytes = shape.blockFrames * cutter->frameBytes();
  std::unique_ptr<PulseRecording> recording(new PulseRecording(context, std::move(cutter)));

  PulseContext::Lock hold(*context);
  if (!context->alive()) return context->lastError();
  if (!pa_sample_spec_valid(&sampleSpec)) return describePulseError(PA_ERR_INVALID);
  recording->stream_ = pa_stream_new(context->context(), "zarvi-audio-capture", &sampleSpec, nullptr);
  if (recording->stream_ == nullptr) return context->lastError();
  pa_stream_set_state_callback(recording->stream_, onStateChanged, &recording->session_);
  pa_stream_set_read_callback(recording->stream_, onReadable, &recording->session_);
  // Without an explicit fragment size the server delivers about two seconds at a time.
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(fragmentBytes);
  if (pa_stream_connect_record(
          recording->stream_, sourceName.c_str(), &attributes,
          static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
    return context->lastError();
  }
  pa_stream* stream = recording->stream_;
  const bool settled = context->waitUntil(
      [stream] {
        const auto state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
      },
      deadline);
  if (pa_stream_get_state(stream) == PA_STREAM_READY) {
    recording->session_.ready = true;
    return recording;
  }
  return settled ? context->lastError() : describePulseError(PA_ERR_TIMEOUT);
}

PulseRecording::~PulseRecording() {
  if (stream_ == nullptr) return;
  PulseContext::Lock hold(*context_);
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
}

}  // namespace zarvi::pulse
