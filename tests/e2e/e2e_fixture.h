#pragma once

// End-to-end fixture: Xvfb, the relay, the agent process, and an in-process viewer that
// records every message it opens.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/rig.h"
#include "viewer/viewer_session.h"

// What one viewer has received, safe to read while messages arrive.
class Received {
public:
    ViewerHandlers handlers() {
        ViewerHandlers h;
        h.on_video = [this](const VideoFrameMsg& m) { add(video_, m); };
        h.on_cursor = [this](const CursorUpdateMsg& m) { add(cursors_, m); };
        h.on_clipboard = [this](const std::string& t) { add(clipboards_, t); };
        h.on_stats = [this](const StatsReportMsg& m) { add(stats_, m); };
        h.on_message = [this](const std::vector<uint8_t>& m) { add(raw_, m); };
        return h;
    }
    std::vector<VideoFrameMsg> video() { return get(video_); }
    std::vector<CursorUpdateMsg> cursors() { return get(cursors_); }
    std::vector<std::string> clipboards() { return get(clipboards_); }
    std::vector<StatsReportMsg> stats() { return get(stats_); }
    std::vector<std::vector<uint8_t>> raw() { return get(raw_); }
    size_t video_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return video_.size();
    }

private:
    template <class T>
    void add(std::vector<T>& v, const T& x) {
        std::lock_guard<std::mutex> lock(mutex_);
        v.push_back(x);
    }
    template <class T>
    std::vector<T> get(const std::vector<T>& v) {
        std::lock_guard<std::mutex> lock(mutex_);
        return v;
    }
    std::mutex mutex_;
    std::vector<VideoFrameMsg> video_;
    std::vector<CursorUpdateMsg> cursors_;
    std::vector<std::string> clipboards_;
    std::vector<StatsReportMsg> stats_;
    std::vector<std::vector<uint8_t>> raw_;
};

// One connected, key-exchanged viewer.
struct TestViewer {
    Received received;
    ViewerSession session;

    bool join(const testsupport::Rig& rig) {
        session.set_handlers(received.handlers());
        ViewerOptions o;
        o.server_url = rig.server_url();
        o.machine_id = rig.machine_id();
        o.token = rig.token();
        return session.connect(o) && session.wait_ready(std::chrono::seconds(15));
    }
};

// Runs a shell command with a time limit; its standard output.
std::string run_command(const std::vector<std::string>& argv, const std::string& display,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
