// WASAPI loopback capture of the default playback device, in shared mode and the
// device's mix format.
#include "media/audio_capture.h"

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <objbase.h>

#include <spdlog/spdlog.h>

namespace {

spdlog::logger* log() { return spdlog::default_logger_raw(); }

// {BCDE0395-E52F-467C-8E3D-C4579291692E}: the MMDevice enumerator class. Spelled out here
// because not every SDK's headers declare it.
const CLSID CLSID_DEVICE_ENUMERATOR = {0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};

// Shared-mode buffer: 20 ms in 100-nanosecond units.
constexpr REFERENCE_TIME BUFFER_DURATION = 200000;

template <class T>
void release(T*& p) {
    if (p) {
        p->Release();
        p = nullptr;
    }
}

class WasapiSource final : public AudioSource {
public:
    ~WasapiSource() override {
        release_all();
        // COM stays initialised: other components of the process share the apartment.
    }

    bool open(AudioFormat& format) override {
        release_all();  // a second attempt starts afresh
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        // A thread already in another apartment can still use the interfaces below.
        if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) {
            log()->error("CoInitializeEx failed");
            return false;
        }
        hr = CoCreateInstance(CLSID_DEVICE_ENUMERATOR, nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                              reinterpret_cast<void**>(&enumerator_));
        if (FAILED(hr)) {
            log()->error("Failed to create device enumerator");
            return false;
        }
        hr = enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, &device_);
        if (FAILED(hr)) {
            log()->error("No default audio device found");
            return false;
        }
        hr = device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&audio_client_));
        if (FAILED(hr)) {
            log()->error("Failed to activate audio client");
            return false;
        }
        WAVEFORMATEX* mix = nullptr;
        hr = audio_client_->GetMixFormat(&mix);
        if (FAILED(hr) || !mix) {
            log()->error("Failed to get mix format");
            return false;
        }
        format.sample_rate = mix->nSamplesPerSec;
        format.channels = mix->nChannels;
        format.bits_per_sample = mix->wBitsPerSample;
        hr = audio_client_->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, BUFFER_DURATION, 0, mix,
                                       nullptr);
        CoTaskMemFree(mix);
        if (FAILED(hr)) {
            log()->error("Failed to initialize audio client: 0x{:08X}", static_cast<uint32_t>(hr));
            return false;
        }
        UINT32 buffer_frames = 0;
        if (FAILED(audio_client_->GetBufferSize(&buffer_frames))) return false;
        hr = audio_client_->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&capture_client_));
        if (FAILED(hr)) {
            log()->error("Failed to get capture client");
            return false;
        }
        return true;
    }

    void start() override {
        if (audio_client_) audio_client_->Start();
    }

    bool read(const PacketFn& packet, const std::atomic<bool>& running) override {
        if (!capture_client_) return true;
        UINT32 next = 0;  // a failed query counts as no packet
        capture_client_->GetNextPacketSize(&next);
        while (next != 0 && running.load()) {
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            if (FAILED(capture_client_->GetBuffer(&data, &frames, &flags, nullptr, nullptr))) break;
            packet(data, frames, (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0);
            capture_client_->ReleaseBuffer(frames);
            next = 0;
            capture_client_->GetNextPacketSize(&next);
        }
        // A packet that cannot be fetched is retried at the next poll.
        return true;
    }

    void stop() override {
        if (audio_client_) audio_client_->Stop();
    }

private:
    void release_all() {
        release(capture_client_);
        release(audio_client_);
        release(device_);
        release(enumerator_);
    }

    IMMDeviceEnumerator* enumerator_ = nullptr;
    IMMDevice* device_ = nullptr;
    IAudioClient* audio_client_ = nullptr;
    IAudioCaptureClient* capture_client_ = nullptr;
};

}  // namespace

std::unique_ptr<AudioSource> make_platform_audio_source() { return std::make_unique<WasapiSource>(); }
