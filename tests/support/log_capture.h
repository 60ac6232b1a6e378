#pragma once

#include <memory>
#include <sstream>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

// Replaces the default logger for the life of the object and records "level|message" lines.
class LogCapture {
public:
    LogCapture() {
        previous_ = spdlog::default_logger();
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
        auto logger = std::make_shared<spdlog::logger>("capture", sink);
        logger->set_pattern("%l|%v");
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return stream_.str(); }
    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }
    size_t count(const std::string& needle) const {
        size_t n = 0;
        std::string t = text();
        for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + 1)) ++n;
        return n;
    }
    void clear() { stream_.str(""); }

private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::logger> previous_;
};
