#include "platform/wasapi/wasapi_recording.h"

#include <audioclient.h>
#include <mmreg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "os/thread_name.h"

namespace zarvi::wasapi {
namespace {

// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, defined here: the headers' definition does not link.
constexpr GUID kSubtypeIeeeFloat{
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The client's own buffer, in 100 ns units: room for late wake-ups of the capture thread.
constexpr REFERENCE_TIME kClientBufferDuration = 2'000'000;  // 200 ms

// A capture endpoint delivers every period, silence included: one that has sent nothing for this long
// is gone even if no error says so (Wine's does this when its PulseAudio source goes). A loopback
// stream sends nothing while nothing plays, so it has no such limit.
constexpr std::chrono::milliseconds kCaptureSilenceLimit{1000};
// The first audio of a new stream may take longer: Wine's have been seen to take over a second.
constexpr std::chrono::milliseconds kCaptureFirstAudioLimit{5000};

// A silent packet is a hole: its bytes may be anything.
constexpr DWORD kSilentPacket = AUDCLNT_BUFFERFLAGS_SILENT;

WAVEFORMATEXTENSIBLE floatFormat(std::uint32_t rate, std::uint16_t channels) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = channels;
  format.Format.nSamplesPerSec = rate;
  format.Format.wBitsPerSample = 32;
  format.Format.nBlockAlign = static_cast<WORD>(4 * channels);
  format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = 32;
  format.dwChannelMask = channels == 1   ? SPEAKER_FRONT_CENTER
                         : channels == 2 ? SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT
                                         : 0;
  format.SubFormat = kSubtypeIeeeFloat;
  return format;
}

struct EventHandle {
  EventHandle() : handle(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~EventHandle() {
    if (handle != nullptr) ::CloseHandle(handle);
  }
  EventHandle(const EventHandle&) = delete;
  EventHandle& operator=(const EventHandle&) = delete;
  HANDLE handle;
};

}  // namespace

struct WasapiRecording::Session {
  explicit Session(std::shared_ptr<platform::BlockCutter> cutter)
      : cutter(std::move(cutter)), frameBytes(this->cutter->frameBytes()) {}

  // On the capture thread: everything the client holds, counted in frames; false when the stream failed
  // (the device went or was reconfigured: the follower finds out which when it looks again).
  bool copyPackets(std::size_t& frames) {
    for (;;) {
      UINT32 packetFrames = 0;
      HRESULT result = capture->GetNextPacketSize(&packetFrames);
      if (FAILED(result)) return false;
      if (packetFrames == 0) return true;
      BYTE* data = nullptr;
      DWORD flags = 0;
      result = capture->GetBuffer(&data, &packetFrames, &flags, nullptr, nullptr);
      if (FAILED(result)) return false;
      if (result == AUDCLNT_S_BUFFER_EMPTY) return true;
      const std::size_t bytes = static_cast<std::size_t>(packetFrames) * frameBytes;
      if ((flags & kSilentPacket) != 0 || data == nullptr) {
        cutter->writeSilence(bytes);
      } else {
        cutter->write(data, bytes);
      }
      frames += packetFrames;
      capture->ReleaseBuffer(packetFrames);
    }
  }

  // watchSilence: a stream that sends nothing for too long has failed (not for loopback).
  void run(const std::string& threadName, bool watchSilence) {
    os::nameCurrentThread(threadName);
    const ComScope com;
    const HANDLE wakeOn[] = {stopEvent.handle, dataEvent.handle};
    auto lastAudio = std::chrono::steady_clock::now();
    std::chrono::milliseconds silenceLimit = kCaptureFirstAudioLimit;
    for (;;) {
      DWORD wait = INFINITE;
      if (watchSilence) {
        const auto left = silenceLimit - (std::chrono::steady_clock::now() - lastAudio);
        wait = static_cast<DWORD>(
            std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
      }
      const DWORD woken = ::WaitForMultipleObjects(2, wakeOn, FALSE, wait);
      if (stopped || woken == WAIT_OBJECT_0) return;
      std::size_t frames = 0;
      bool alive = woken == WAIT_OBJECT_0 + 1 && copyPackets(frames);
      const auto now = std::chrono::steady_clock::now();
      if (frames > 0) {
        lastAudio = now;
        silenceLimit = kCaptureSilenceLimit;
      }
      // Also when wake-ups keep coming with nothing in them.
      if (watchSilence && now - lastAudio >= silenceLimit) alive = false;
      if (frames > 0) cutter->handOn();
      if (!alive) {
        cutter->reportDeath();
        return;
      }
    }
  }

  const std::shared_ptr<platform::BlockCutter> cutter;
  const std::size_t frameBytes;
  std::atomic<bool> stopped{false};

  ComPtr<IAudioClient> client;
  ComPtr<IAudioCaptureClient> capture;
  EventHandle dataEvent;
  EventHandle stopEvent;
  std::thread thread;
};

WasapiRecording::WasapiRecording(std::unique_ptr<Session> session) : session_(std::move(session)) {}

Result<std::unique_ptr<WasapiRecording>> WasapiRecording::open(
    const Endpoints& endpoints, const Request& request, std::shared_ptr<platform::BlockCutter> cutter) {
  const auto& shape = cutter->shape();
  auto session = std::make_unique<Session>(std::move(cutter));
  if (session->dataEvent.handle == nullptr || session->stopEvent.handle == nullptr)
    return describeResult(HRESULT_FROM_WIN32(::GetLastError()));
  ComPtr<IMMDevice> device;
  HRESULT result = endpoints.enumerator().GetDevice(toWide(request.endpointId).c_str(), device.put());
  if (FAILED(result)) return describeResult(result);
  result = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, session->client.putVoid());
  if (FAILED(result)) return describeResult(result);
  // The endpoint's own rate and channel count, as float: the engine converts only a mix format that
  // is not float already.
  const WAVEFORMATEXTENSIBLE format = floatFormat(shape.rate, static_cast<std::uint16_t>(shape.channels));
  const DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                      AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY |
                      (request.loopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0);
  result = session->client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kClientBufferDuration, 0,
                                       reinterpret_cast<const WAVEFORMATEX*>(&format), nullptr);
  if (FAILED(result)) return describeResult(result);
  result = session->client->SetEventHandle(session->dataEvent.handle);
  if (FAILED(result)) return describeResult(result);
  result = session->client->GetService(__uuidof(IAudioCaptureClient), session->capture.putVoid());
  if (FAILED(result)) return describeResult(result);
  result = session->client->Start();
  if (FAILED(result)) return describeResult(result);
  session->thread = std::thread([raw = session.get(), name = request.threadName,
                                 watchSilence = !request.loopback] { raw->run(name, watchSilence); });
  return std::unique_ptr<WasapiRecording>(new WasapiRecording(std::move(session)));
}

WasapiRecording::~WasapiRecording() {
  const ComScope com;
  session_->stopped = true;
  ::SetEvent(session_->stopEvent.handle);
  if (session_->thread.joinable()) session_->thread.join();
  session_->client->Stop();
}

}  // namespace zarvi::wasapi
