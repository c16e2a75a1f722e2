#include "platform/wasapi/endpoints.h"

#include <audioclient.h>

#include <atomic>
#include <mutex>

#include "protocol/process_values.h"

namespace zarvi::wasapi {
namespace {

// PKEY_Device_FriendlyName, defined here: the headers only declare it.
constexpr PROPERTYKEY kFriendlyName{
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

constexpr const char* kMonitorPrefix = "Monitor of ";

std::string friendlyName(IMMDevice& device) {
  ComPtr<IPropertyStore> properties;
  if (FAILED(device.OpenPropertyStore(STGM_READ, properties.put()))) return {};
  PROPVARIANT value;
  ::PropVariantInit(&value);
  std::string name;
  if (SUCCEEDED(properties->GetValue(kFriendlyName, &value)) && value.vt == VT_LPWSTR)
    name = toUtf8(value.pwszVal);
  ::PropVariantClear(&value);
  return name;
}

}  // namespace

Result<std::unique_ptr<Endpoints>> Endpoints::create() {
  auto endpoints = std::unique_ptr<Endpoints>(new Endpoints);
  const HRESULT result = ::CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                            __uuidof(IMMDeviceEnumerator), endpoints->enumerator_.putVoid());
  if (FAILED(result)) return describeResult(result);
  return endpoints;
}

DeviceChoice Endpoints::describe(IMMDevice& device) const {
  CoTaskMemory<wchar_t> id;
  HRESULT result = device.GetId(id.put());
  if (FAILED(result)) return describeResult(result);
  ComPtr<IAudioClient> client;
  result = device.Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.putVoid());
  CoTaskMemory<WAVEFORMATEX> mixFormat;
  if (SUCCEEDED(result)) result = client->GetMixFormat(mixFormat.put());
  if (FAILED(result)) return describeResult(result);
  ChosenDevice chosen{toUtf8(id.get()), friendlyName(device),
                      static_cast<std::uint32_t>(mixFormat->nSamplesPerSec),
                      static_cast<std::uint8_t>(mixFormat->nChannels)};
  if (chosen.description.empty()) chosen.description = chosen.id;
  return chosen;
}

DeviceChoice Endpoints::defaultEndpoint(EDataFlow flow) const {
  ComPtr<IMMDevice> device;
  const HRESULT result = enumerator_->GetDefaultAudioEndpoint(flow, eConsole, device.put());
  if (FAILED(result)) return describeResult(result);
  return describe(*device);
}

DeviceChoice Endpoints::endpointWithId(const std::string& id) const {
  ComPtr<IMMDevice> device;
  const HRESULT result = enumerator_->GetDevice(toWide(id).c_str(), device.put());
  if (FAILED(result)) return describeResult(result);
  return describe(*device);
}

std::vector<ChosenDevice> Endpoints::activeEndpoints(EDataFlow flow) const {
  std::vector<ChosenDevice> found;
  ComPtr<IMMDeviceCollection> collection;
  UINT count = 0;
  if (FAILED(enumerator_->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, collection.put())) ||
      FAILED(collection->GetCount(&count)))
    return found;
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    if (FAILED(collection->Item(i, device.put()))) continue;
    auto choice = describe(*device);
    if (choice) found.push_back(std::move(choice.value()));
  }
  return found;
}

DeviceChoice chooseMicrophone(const Endpoints& endpoints) {
  DeviceChoice microphone = endpoints.defaultEndpoint(eCapture);
  if (!microphone) return Failure{"no microphone: no default recording device (" + microphone.error() + ")"};
  return microphone;
}

bool systemAudioIsLoopback() {
  return !environmentSwitchIsOn("ZARVI_TEST_SYSTEM_AUDIO_MONITOR");
}

DeviceChoice chooseSystemAudio(const Endpoints& endpoints) {
  DeviceChoice output = endpoints.defaultEndpoint(eRender);
  if (!output) return Failure{"no output: no default playback device (" + output.error() + ")"};
  if (systemAudioIsLoopback()) return output;
  const std::string& renderName = output.value().description;
  const std::string monitorName = kMonitorPrefix + renderName;
  for (auto& capture : endpoints.activeEndpoints(eCapture)) {
    if (capture.description == monitorName) {
      capture.description = renderName;
      return capture;
    }
  }
  return Failure{"no capture endpoint named \"" + monitorName + "\" (ZARVI_TEST_SYSTEM_AUDIO_MONITOR=1)"};
}

class EndpointWatch::Client : public IMMNotificationClient {
 public:
  Client(EDataFlow flow, std::function<void()> onChange) : flow_(flow), onChange_(std::move(onChange)) {}

  // Once it returns, no notification reaches onChange any more.
  void silence() {
    const std::lock_guard<std::mutex> hold(mutex_);
    onChange_ = nullptr;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
      *object = static_cast<IMMNotificationClient*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
    if (flow == flow_ && role == eConsole) tell();
    return S_OK;
  }
  // A device of the other flow may be the one in use too (a headset), and state changes are rare:
  // every one is looked at.
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override {
    tell();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override {
    tell();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override {
    tell();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

 private:
  virtual ~Client() = default;

  void tell() {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (onChange_) onChange_();
  }

  const EDataFlow flow_;
  std::atomic<ULONG> references_{1};
  std::mutex mutex_;
  std::function<void()> onChange_;
};

Result<std::unique_ptr<EndpointWatch>> EndpointWatch::start(const Endpoints& endpoints, EDataFlow flow,
                                                            std::function<void()> onChange) {
  auto watch = std::unique_ptr<EndpointWatch>(new EndpointWatch);
  watch->client_ = new Client(flow, std::move(onChange));
  const HRESULT result = endpoints.enumerator().RegisterEndpointNotificationCallback(watch->client_);
  if (FAILED(result)) return describeResult(result);  // the destructor releases the client
  endpoints.enumerator().AddRef();
  *watch->enumerator_.put() = &endpoints.enumerator();
  return watch;
}

EndpointWatch::~EndpointWatch() {
  if (enumerator_) enumerator_->UnregisterEndpointNotificationCallback(client_);
  if (client_ != nullptr) {
    client_->silence();
    client_->Release();
  }
}

}  // namespace zarvi::wasapi
