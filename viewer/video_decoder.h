#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

enum class PictureFormat { Rgb24, Bgra };

// One decoded picture in packed form: rows of stride bytes, top row first.
struct DecodedPicture {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t stride = 0;
    PictureFormat format = PictureFormat::Bgra;
    std::vector<uint8_t> pixels;

    uint32_t bytes_per_pixel() const { return format == PictureFormat::Rgb24 ? 3 : 4; }
};

// Writes the picture as an 8-bit RGB PNG file (alpha dropped). Logs and returns false
// on an empty picture or when the file cannot be encoded or written.
bool write_png(const DecodedPicture& picture, const std::string& path);

// Viewer side of the video stream: takes the H.264 bytes of each VideoFrame (Annex-B,
// as the agent's encoder produces them) and keeps the most recent picture, converted
// to the chosen packed format. Input before the first key frame (a viewer that joins
// mid-stream) is skipped quietly. Not thread-safe.
class VideoDecoder {
public:
    explicit VideoDecoder(PictureFormat format = PictureFormat::Bgra) : format_(format) {}
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // False (with one log line) when the decoder cannot be opened or rejects the
    // bytes; true otherwise, whether or not a new picture came out. width and height
    // are the VideoFrame header's desktop size: odd-sized desktops are coded one
    // pixel larger, and pictures are cropped back to it (0 keeps the coded size).
    bool decode(const uint8_t* data, size_t size, uint32_t width = 0, uint32_t height = 0);
    bool decode(const std::vector<uint8_t>& data, uint32_t width = 0, uint32_t height = 0) {
        return decode(data.data(), data.size(), width, height);
    }

    bool has_picture() const { return picture_count_ > 0; }
    // The latest picture; empty until has_picture().
    const DecodedPicture& picture() const { return picture_; }
    uint64_t picture_count() const { return picture_count_; }

    bool write_png(const std::string& path) const { return ::write_png(picture_, path); }

private:
    bool open();
    bool convert(const AVFrame* frame, uint32_t width, uint32_t height);

    PictureFormat format_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* converter_ = nullptr;
    bool open_failed_ = false;
    bool seen_key_ = false;
    DecodedPicture picture_;
    uint64_t picture_count_ = 0;
};
