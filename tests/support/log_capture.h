#pragma once

#include <memory>
#include <string>

#include <mutex>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

// Sink that keeps formatted lines in memory; readable while other threads log.
class MemorySink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::string text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.clear();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        text_.append(formatted.data(), formatted.size());
    }
    void flush_() override {}

private:
    std::string text_;
};

// Replaces the default logger for the life of the object and records "level|message" lines.
class LogCapture {
public:
    LogCapture() {
        previous_ = spdlog::default_logger();
        sink_ = std::make_shared<MemorySink>();
        auto logger = std::make_shared<spdlog::logger>("capture", sink_);
        logger->set_pattern("%l|%v");
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return sink_->text(); }
    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }
    size_t count(const std::string& needle) const {
        size_t n = 0;
        std::string t = text();
        for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + 1)) ++n;
        return n;
    }
    void clear() { sink_->clear(); }

private:
    std::shared_ptr<MemorySink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};
