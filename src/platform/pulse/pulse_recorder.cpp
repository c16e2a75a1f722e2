#include "platform/pulse/pulse_recorder.h"

#include <atomic>
#include <vector>

#include "runtime/bounded_byte_buffer.h"

namespace zarvi::pulse {

struct PulseRecorder::Session {
  Session(const Request& request, runtime::SerialQueue& queue, BlockHandler onBlock, DiedHandler onDied)
      : frameBytes(pa_frame_size(&request.sampleSpec)),
        blockFrames(request.blockFrames),
        buffer(request.bufferedFrames * frameBytes, frameBytes),
        queue(queue),
        onBlock(std::move(onBlock)),
        onDied(std::move(onDied)),
        scratch(blockFrames * request.sampleSpec.channels) {}

  // On the queue: every whole block that waits.
  void drain() {
    drainScheduled = false;
    while (!stopped && buffer.read(scratch.data(), blockFrames * frameBytes))
      onBlock(scratch.data(), blockFrames);
  }

  const std::size_t frameBytes;
  const std::size_t blockFrames;
  runtime::BoundedByteBuffer buffer;
  runtime::SerialQueue& queue;
  const BlockHandler onBlock;
  const DiedHandler onDied;
  std::vector<float> scratch;  // used on the queue only
  std::atomic<bool> stopped{false};
  std::atomic<bool> drainScheduled{false};
  std::atomic<bool> died{false};
  // Set by open() once it has seen the stream ready; read and written with the mainloop lock held.
  // Before that, a failure is the open's own, never a stream that died mid-run.
  bool ready = false;
  std::weak_ptr<Session> self;
  PulseContext* context = nullptr;
};

namespace {

// On the server's thread, with its lock held: copy what arrived and return at once.
void onReadable(pa_stream* stream, std::size_t /*nbytes*/, void* data) {
  auto* session = static_cast<PulseRecorder::Session*>(data);
  for (;;) {
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (pa_stream_peek(stream, &bytes, &size) < 0 || size == 0) break;
    if (bytes != nullptr) {
      session->buffer.write(bytes, size);
    } else {
      session->buffer.writeSilence(size);  // a hole in the recording
    }
    pa_stream_drop(stream);
  }
  if (!session->drainScheduled.exchange(true)) {
    session->queue.async([keep = session->self.lock()] {
      if (keep) keep->drain();
    });
  }
}

void onStateChanged(pa_stream* stream, void* data) {
  auto* session = static_cast<PulseRecorder::Session*>(data);
  session->context->signal();
  if (pa_stream_get_state(stream) != PA_STREAM_FAILED || !session->ready || session->stopped) return;
  if (session->died.exchange(true)) return;
  session->queue.async([keep = session->self.lock()] {
    if (keep && !keep->stopped) keep->onDied();
  });
}

}  // namespace

PulseRecorder::PulseRecorder(std::shared_ptr<PulseContext> context, std::shared_ptr<Session> session)
    : context_(std::move(context)), session_(std::move(session)) {}

std::unique_ptr<PulseRecorder> PulseRecorder::open(const std::shared_ptr<PulseContext>& context,
                                                   const Request& request, runtime::SerialQueue& queue,
                                                   BlockHandler onBlock, DiedHandler onDied,
                                                   Deadline deadline, std::string& error) {
  auto session = std::make_shared<Session>(request, queue, std::move(onBlock), std::move(onDied));
  session->self = session;
  session->context = context.get();
  std::unique_ptr<PulseRecorder> recorder(new PulseRecorder(context, session));

  PulseContext::Lock hold(*context);
  if (!context->alive()) {
    error = context->lastError();
    return nullptr;
  }
  recorder->stream_ = pa_stream_new(context->context(), "zarvi-audio-capture", &request.sampleSpec, nullptr);
  if (recorder->stream_ == nullptr) {
    error = context->lastError();
    return nullptr;
  }
  pa_stream_set_state_callback(recorder->stream_, onStateChanged, session.get());
  pa_stream_set_read_callback(recorder->stream_, onReadable, session.get());
  // Without an explicit fragment size the server delivers about two seconds at a time.
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(request.blockFrames * session->frameBytes);
  if (pa_stream_connect_record(
          recorder->stream_, request.sourceName.c_str(), &attributes,
          static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
    error = context->lastError();
    return nullptr;
  }
  pa_stream* stream = recorder->stream_;
  const bool settled = context->waitUntil(
      [stream] {
        const auto state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
      },
      deadline);
  if (pa_stream_get_state(stream) == PA_STREAM_READY) {
    session->ready = true;
    return recorder;
  }
  error = settled ? context->lastError() : describePulseError(PA_ERR_TIMEOUT);
  return nullptr;
}

bool PulseRecorder::died() const {
  return session_->died;
}

PulseRecorder::~PulseRecorder() {
  session_->stopped = true;
  if (stream_ != nullptr) {
    PulseContext::Lock hold(*context_);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
  }
  // Work already queued sees the stop; work already running is waited for.
  if (!session_->queue.isCurrent()) session_->queue.sync([] {});
}

}  // namespace zarvi::pulse
