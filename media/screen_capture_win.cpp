// Windows capture: DXGI desktop duplication of one output of the default adapter, copied
// through a CPU-readable staging texture.

#include <d3d11.h>
#include <dxgi1_2.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "media/cursor_shape.h"
#include "media/screen_capture.h"

namespace {

template <typename T>
void release(T*& ref) {
    if (ref != nullptr) {
        ref->Release();
        ref = nullptr;
    }
}

// A COM reference released when the scope ends.
template <typename T>
struct ScopedRef {
    T* ptr = nullptr;
    ScopedRef() = default;
    ScopedRef(const ScopedRef&) = delete;
    ScopedRef& operator=(const ScopedRef&) = delete;
    ~ScopedRef() { release(ptr); }
    void** out() { return reinterpret_cast<void**>(&ptr); }
    T* operator->() const { return ptr; }
};

uint32_t hex(HRESULT hr) { return static_cast<uint32_t>(hr); }

spdlog::logger* log() { return spdlog::default_logger_raw(); }

}  // namespace

struct ScreenCapture::Backend {
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    IDXGIOutputDuplication* duplication = nullptr;
    ID3D11Texture2D* staging_texture = nullptr;
    uint32_t staging_width = 0;
    uint32_t staging_height = 0;
    std::vector<uint8_t> shape_buffer;  // raw shape bytes, reused between fetches

    ~Backend() { release_all(); }

    void release_all() {
        release(duplication);
        release(staging_texture);
        release(context);
        release(device);
        staging_width = staging_height = 0;
    }

    // Opens the duplication of owner.monitor_index_ (or output 0) on the device's adapter
    // and reads the output's size. Also run again after access to the duplication was lost.
    bool setup_duplication(ScreenCapture& owner) {
        ScopedRef<IDXGIDevice> dxgi_device;
        if (FAILED(device->QueryInterface(__uuidof(IDXGIDevice), dxgi_device.out()))) return false;
        ScopedRef<IDXGIAdapter> adapter;
        if (FAILED(dxgi_device->GetParent(__uuidof(IDXGIAdapter), adapter.out()))) return false;

        ScopedRef<IDXGIOutput> output;
        if (FAILED(adapter->EnumOutputs(owner.monitor_index_, &output.ptr))) {
            release(output.ptr);
            if (FAILED(adapter->EnumOutputs(0, &output.ptr))) {
                log()->error("No display outputs found");
                return false;
            }
            owner.monitor_index_ = 0;
        }

        DXGI_OUTPUT_DESC desc{};
        output->GetDesc(&desc);
        owner.width_ = static_cast<uint32_t>(desc.DesktopCoordinates.right - desc.DesktopCoordinates.left);
        owner.height_ = static_cast<uint32_t>(desc.DesktopCoordinates.bottom - desc.DesktopCoordinates.top);

        ScopedRef<IDXGIOutput1> output1;
        if (FAILED(output->QueryInterface(__uuidof(IDXGIOutput1), output1.out()))) {
            log()->error("Failed to get IDXGIOutput1");
            return false;
        }
        release(duplication);
        HRESULT hr = output1->DuplicateOutput(device, &duplication);
        if (FAILED(hr)) {
            log()->error("DuplicateOutput failed: 0x{:08X}", hex(hr));
            return false;
        }
        return true;
    }

    // (Re)creates the staging texture at the given size.
    bool create_staging(uint32_t width, uint32_t height) {
        D3D11_TEXTURE2D_DESC desc{};
        desc.Width = width;
        desc.Height = height;
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.SampleDesc.Quality = 0;
        desc.Usage = D3D11_USAGE_STAGING;
        desc.BindFlags = 0;
        desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        desc.MiscFlags = 0;
        release(staging_texture);
        staging_width = staging_height = 0;
        HRESULT hr = device->CreateTexture2D(&desc, nullptr, &staging_texture);
        if (FAILED(hr)) {
            log()->error("Failed to create staging texture: 0x{:08X}", hex(hr));
            return false;
        }
        staging_width = width;
        staging_height = height;
        return true;
    }

    // Pointer position and, when the duplication reports a new one, the shape.
    void update_cursor(ScreenCapture& owner, const DXGI_OUTDUPL_FRAME_INFO& info) {
        if (info.LastMouseUpdateTime.QuadPart != 0) {
            owner.set_cursor_position(info.PointerPosition.Visible != FALSE, info.PointerPosition.Position.x,
                                      info.PointerPosition.Position.y);
        }
        if (info.PointerShapeBufferSize == 0) return;
        shape_buffer.resize(info.PointerShapeBufferSize);
        DXGI_OUTDUPL_POINTER_SHAPE_INFO shape{};
        UINT required = 0;
        if (FAILED(duplication->GetFramePointerShape(static_cast<UINT>(shape_buffer.size()), shape_buffer.data(),
                                                     &required, &shape))) {
            return;
        }
        auto image = convert_dxgi_cursor(shape.Type, shape.Width, shape.Height, shape.Pitch, shape_buffer.data(),
                                         std::min<size_t>(required, shape_buffer.size()));
        if (!image) return;  // inconsistent shape description: keep the previous shape
        owner.set_cursor_shape(std::move(*image), shape.HotSpot.x, shape.HotSpot.y);
    }
};

ScreenCapture::ScreenCapture() : backend_(std::make_unique<Backend>()) {}

ScreenCapture::~ScreenCapture() = default;

bool ScreenCapture::initialize(uint32_t monitor_index) {
    Backend& b = *backend_;
    initialized_ = false;
    monitor_index_ = monitor_index;
    release(b.context);
    release(b.device);

    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 2, D3D11_SDK_VERSION,
                                   &b.device, nullptr, &b.context);
    if (FAILED(hr)) {
        log()->error("D3D11CreateDevice failed: 0x{:08X}", hex(hr));
        log()->error("Failed to create D3D11 device");
        return false;
    }
    if (!b.setup_duplication(*this)) {
        log()->error("Failed to setup desktop duplication");
        return false;
    }
    if (!b.create_staging(width_, height_)) return false;
    initialized_ = true;
    return true;
}

std::optional<CapturedFrame> ScreenCapture::capture_frame() {
    Backend& b = *backend_;
    if (!initialized_ || b.duplication == nullptr) return std::nullopt;

    DXGI_OUTDUPL_FRAME_INFO info{};
    ScopedRef<IDXGIResource> resource;
    HRESULT hr = b.duplication->AcquireNextFrame(16, &info, &resource.ptr);
    if (hr == DXGI_ERROR_WAIT_TIMEOUT) return std::nullopt;
    if (hr == DXGI_ERROR_ACCESS_LOST) {
        log()->warn("Desktop duplication access lost, reinitializing...");
        release(b.duplication);
        // The output may come back with another size (mode change, rotation); the staging
        // texture follows it so that the copy below always matches what it maps.
        if (b.setup_duplication(*this) && (width_ != b.staging_width || height_ != b.staging_height)) {
            b.create_staging(width_, height_);
        }
        return std::nullopt;
    }
    if (FAILED(hr)) {
        log()->error("AcquireNextFrame failed: 0x{:08X}", hex(hr));
        return std::nullopt;
    }

    b.update_cursor(*this, info);

    std::optional<CapturedFrame> frame;
    ScopedRef<ID3D11Texture2D> desktop;
    if (SUCCEEDED(resource->QueryInterface(__uuidof(ID3D11Texture2D), desktop.out()))) {
        // CopyResource needs identical sizes; the desktop image can differ from the output's
        // coordinates (rotated outputs, a mode change not yet reported as access loss).
        D3D11_TEXTURE2D_DESC desc{};
        desktop->GetDesc(&desc);
        if ((desc.Width != b.staging_width || desc.Height != b.staging_height) &&
            b.create_staging(desc.Width, desc.Height)) {
            width_ = desc.Width;
            height_ = desc.Height;
        }
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (b.staging_texture != nullptr) {
            b.context->CopyResource(b.staging_texture, desktop.ptr);
            if (SUCCEEDED(b.context->Map(b.staging_texture, 0, D3D11_MAP_READ, 0, &mapped))) {
                // Exactly the rows of the mapped texture, padding included; the frame
                // reports the texture's own size.
                CapturedFrame out;
                out.width = b.staging_width;
                out.height = b.staging_height;
                out.stride = mapped.RowPitch;
                out.data.resize(size_t{out.height} * mapped.RowPitch);
                std::memcpy(out.data.data(), mapped.pData, out.data.size());
                b.context->Unmap(b.staging_texture, 0);
                frame = std::move(out);
            }
        }
    }
    b.duplication->ReleaseFrame();
    return frame;
}

void ScreenCapture::shutdown() {
    backend_->release_all();
    initialized_ = false;
}
