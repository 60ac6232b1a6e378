// Windows capture: DXGI desktop duplication of one output of the default adapter, copied
// through a CPU-readable staging texture.

#include <d3d11.h>
#include <dxgi1_2.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "media/cursor_shape.h"
#include "media/screen_capture.h"
#include "media/screen_capture_gdi.h"

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

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool device_removed(HRESULT hr) {
    return hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET || hr == DXGI_ERROR_DEVICE_HUNG;
}

}  // namespace

struct ScreenCapture::Backend {
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    IDXGIOutputDuplication* duplication = nullptr;
    ID3D11Texture2D* staging_texture = nullptr;
    uint32_t staging_width = 0;
    uint32_t staging_height = 0;
    std::vector<uint8_t> shape_buffer;  // raw shape bytes, reused between fetches
    std::vector<uint8_t> metadata;      // move and dirty rectangles of the last frame
    CapturedFrame picture;              // kept between frames, rows as mapped
    DamageRegion pending;
    bool have_picture = false;
    std::unique_ptr<GdiScreenCapture> gdi;  // when the output cannot be duplicated
    // After an access loss: re-creation of the duplication, retried until it is back or
    // gone for good. The last failure of DuplicateOutput, for the caller to judge.
    CaptureRecovery recovery;
    HRESULT duplicate_result = S_OK;

    ~Backend() { release_all(); }

    void release_all() {
        release(duplication);
        release(staging_texture);
        release(context);
        release(device);
        staging_width = staging_height = 0;
        have_picture = false;
        gdi.reset();
        recovery = CaptureRecovery{};
    }

    // What the duplication says changed in this frame: the destinations of moved areas
    // and the dirty rectangles, in desktop-image coordinates. Anything it cannot tell
    // counts as the whole picture.
    void gather_damage(const DXGI_OUTDUPL_FRAME_INFO& info) {
        if (info.LastPresentTime.QuadPart == 0) return;  // only the pointer changed
        if (info.TotalMetadataBufferSize == 0) {
            pending.add_all();
            return;
        }
        metadata.resize(info.TotalMetadataBufferSize);
        UINT moves_size = 0;
        auto* moves = reinterpret_cast<DXGI_OUTDUPL_MOVE_RECT*>(metadata.data());
        if (FAILED(duplication->GetFrameMoveRects(static_cast<UINT>(metadata.size()), moves, &moves_size))) {
            pending.add_all();
            return;
        }
        for (size_t i = 0; i < moves_size / sizeof(DXGI_OUTDUPL_MOVE_RECT); ++i) {
            const RECT& d = moves[i].DestinationRect;
            pending.add(rect_from_edges(d.left, d.top, d.right, d.bottom));
        }
        UINT dirty_size = 0;
        auto* dirty = reinterpret_cast<RECT*>(metadata.data() + moves_size);
        if (FAILED(duplication->GetFrameDirtyRects(static_cast<UINT>(metadata.size() - moves_size), dirty,
                                                   &dirty_size))) {
            pending.add_all();
            return;
        }
        for (size_t i = 0; i < dirty_size / sizeof(RECT); ++i)
            pending.add(rect_from_edges(dirty[i].left, dirty[i].top, dirty[i].right, dirty[i].bottom));
    }

    // Opens the duplication of owner.monitor_index_ (or output 0) on the device's adapter
    // and reads the output's size. Also run again after access to the duplication was lost,
    // then its failures are logged at debug level only (the attempts repeat).
    bool setup_duplication(ScreenCapture& owner) {
        duplicate_result = S_OK;
        const auto failure_level = recovery.failing() ? spdlog::level::debug : spdlog::level::err;
        ScopedRef<IDXGIDevice> dxgi_device;
        if (FAILED(device->QueryInterface(__uuidof(IDXGIDevice), dxgi_device.out()))) return false;
        ScopedRef<IDXGIAdapter> adapter;
        if (FAILED(dxgi_device->GetParent(__uuidof(IDXGIAdapter), adapter.out()))) return false;

        ScopedRef<IDXGIOutput> output;
        if (FAILED(adapter->EnumOutputs(owner.monitor_index_, &output.ptr))) {
            release(output.ptr);
            if (FAILED(adapter->EnumOutputs(0, &output.ptr))) {
                log()->log(failure_level, "No display outputs found");
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
        gdi.reset();
        HRESULT hr = output1->DuplicateOutput(device, &duplication);
        duplicate_result = hr;
        if (FAILED(hr) && !owner.initialized_ && duplication_unavailable(hex(hr))) {
            // Not a passing state (those come after start, as access loss): this machine
            // cannot duplicate at all.
            log()->warn("Desktop duplication unavailable (0x{:08X}), capturing the screen with GDI", hex(hr));
            gdi = std::make_unique<GdiScreenCapture>();
            if (gdi->open(desc.DesktopCoordinates.left, desc.DesktopCoordinates.top, owner.width_, owner.height_)) {
                return true;
            }
            gdi.reset();
        }
        if (FAILED(hr)) {
            log()->log(failure_level, "DuplicateOutput failed: 0x{:08X}", hex(hr));
            return false;
        }
        return true;
    }

    // One attempt at a new duplication after the old one was lost; the staging texture
    // follows the output's size, which may have changed (mode change, rotation). A failed
    // attempt counts with the recovery, which tells when the display is gone for good.
    bool recreate_duplication(ScreenCapture& owner) {
        if (setup_duplication(owner)) {
            if (owner.width_ != staging_width || owner.height_ != staging_height) create_staging(owner.width_, owner.height_);
            log()->info("Desktop duplication re-created ({}x{})", owner.width_, owner.height_);
            return true;
        }
        release(duplication);
        HRESULT hr = duplicate_result;
        if (SUCCEEDED(hr)) hr = E_FAIL;  // failed before DuplicateOutput (no output, no interface)
        CaptureRecovery::Failure failure = CaptureRecovery::Failure::Lasting;
        if (device_removed(hr) || FAILED(device->GetDeviceRemovedReason())) {
            failure = CaptureRecovery::Failure::DeviceRemoved;
        } else if (hex(hr) == CAPTURE_E_ACCESSDENIED) {
            failure = CaptureRecovery::Failure::Blocked;  // the secure desktop is shown
        }
        fail(hr, failure);
        return false;
    }

    // Counts a failure; says once when it made the display lost for good.
    void fail(HRESULT hr, CaptureRecovery::Failure failure) {
        const bool was_gone = recovery.gone();
        recovery.failed(now_ms(), failure);
        if (!was_gone && recovery.gone()) {
            log()->error("Desktop duplication lost for good (0x{:08X}): the display is lost", hex(hr));
        }
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

    // The GDI path: the pointer as GetCursorInfo has it, the picture when it changed.
    const CapturedFrame* capture_gdi(ScreenCapture& owner) {
        GdiPointerUpdate pointer = gdi->poll_pointer();
        if (pointer.moved) owner.set_cursor_position(pointer.visible, pointer.x, pointer.y);
        if (pointer.shape) owner.set_cursor_shape(std::move(*pointer.shape), pointer.hotspot_x, pointer.hotspot_y);
        const bool full = owner.full_frame_requested_;
        owner.full_frame_requested_ = false;
        return gdi->capture_changes(full);
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
    b.recovery = CaptureRecovery{};
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

const CapturedFrame* ScreenCapture::capture_changes(int wait_ms) {
    Backend& b = *backend_;
    if (initialized_ && b.gdi) return b.capture_gdi(*this);
    if (!initialized_ || b.recovery.gone()) return nullptr;
    if (b.duplication == nullptr) {
        // Lost earlier and not re-created yet: another attempt when one is due.
        if (!b.recovery.attempt_due(now_ms()) || !b.recreate_duplication(*this)) return nullptr;
        b.pending.add_all();
    }

    DXGI_OUTDUPL_FRAME_INFO info{};
    ScopedRef<IDXGIResource> resource;
    const UINT timeout = static_cast<UINT>(std::clamp(wait_ms, 0, 16));
    HRESULT hr = b.duplication->AcquireNextFrame(timeout, &info, &resource.ptr);
    if (hr == DXGI_ERROR_WAIT_TIMEOUT) {
        b.recovery.delivered();
        // A still screen: the kept picture is the desktop as it is, so a whole picture
        // asked for (a keyframe for a new viewer) comes from it.
        if (!full_frame_requested_ || !b.have_picture) return nullptr;
        full_frame_requested_ = false;
        b.pending.add_all();
        b.pending.rects_into(b.picture.damage);
        b.pending.clear();
        return &b.picture;
    }
    if (hr == DXGI_ERROR_ACCESS_LOST) {
        // Mode changes, the secure desktop, a full-screen application: the duplication is
        // made anew, at once and then at a bounded rate until it works again.
        if (!b.recovery.failing()) log()->warn("Desktop duplication access lost, reinitializing...");
        release(b.duplication);
        b.fail(hr, CaptureRecovery::Failure::Lasting);
        if (b.recovery.attempt_due(now_ms())) b.recreate_duplication(*this);
        b.pending.add_all();
        return nullptr;
    }
    if (device_removed(hr)) {
        b.fail(hr, CaptureRecovery::Failure::DeviceRemoved);
        return nullptr;
    }
    if (FAILED(hr)) {
        log()->error("AcquireNextFrame failed: 0x{:08X}", hex(hr));
        return nullptr;
    }
    b.recovery.delivered();

    b.update_cursor(*this, info);
    b.gather_damage(info);
    if (full_frame_requested_ || !b.have_picture) b.pending.add_all();
    full_frame_requested_ = false;

    const CapturedFrame* result = nullptr;
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
                // Exactly the rows of the mapped texture, padding included, into the kept
                // picture (sized once per size); the frame reports the texture's own size.
                CapturedFrame& out = b.picture;
                if (out.width != b.staging_width || out.height != b.staging_height || out.stride != mapped.RowPitch) {
                    out.width = b.staging_width;
                    out.height = b.staging_height;
                    out.stride = mapped.RowPitch;
                    out.data.resize(size_t{out.height} * mapped.RowPitch);
                }
                b.pending.set_size(out.width, out.height);
                std::memcpy(out.data.data(), mapped.pData, out.data.size());
                b.context->Unmap(b.staging_texture, 0);
                b.pending.rects_into(out.damage);
                b.pending.clear();
                b.have_picture = true;
                result = &out;
            }
        }
    }
    b.duplication->ReleaseFrame();
    return result;
}

bool ScreenCapture::display_lost() { return initialized_ && backend_->recovery.gone(); }

void ScreenCapture::shutdown() {
    backend_->release_all();
    initialized_ = false;
}
