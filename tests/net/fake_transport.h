#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "net/ws_transport.h"

// In-memory stand-in for the relay connection: tests inject events and read what was sent.
class FakeTransport : public IWsTransport {
public:
    struct Sent {
        bool binary = false;
        std::vector<uint8_t> data;
    };

    bool open_on_start = true;
    std::string url;
    int stops = 0;
    uint16_t stop_code = 0;
    std::string stop_reason;

    void set_handler(WsEventHandler handler) override { handler_ = std::move(handler); }
    bool start(const WsTransportOptions& options) override {
        url = options.url;
        options_ = options;
        if (open_on_start) emit_open();
        return true;
    }
    void set_url(const std::string& u) override { url = u; }
    void stop(uint16_t code, const std::string& reason) override {
        ++stops;
        stop_code = code;
        stop_reason = reason;
        if (open_) emit_close(code, reason);
    }
    bool send_text(std::string text) override { return record(false, std::vector<uint8_t>(text.begin(), text.end())); }
    bool send_binary(std::vector<uint8_t> data) override { return record(true, std::move(data)); }
    bool is_open() const override { return open_; }

    void emit(const WsEvent& ev) {
        if (handler_) handler_(ev);
    }
    void emit_open() {
        open_ = true;
        emit(WsEvent{WsEvent::Type::Open});
    }
    void emit_close(uint16_t code, const std::string& reason) {
        open_ = false;
        WsEvent ev{WsEvent::Type::Close};
        ev.close_code = code;
        ev.reason = reason;
        emit(ev);
    }
    void emit_error(const std::string& reason) {
        open_ = false;
        WsEvent ev{WsEvent::Type::Error};
        ev.reason = reason;
        emit(ev);
    }
    void emit_text(const std::string& text) {
        WsEvent ev{WsEvent::Type::Message};
        ev.data.assign(text.begin(), text.end());
        emit(ev);
    }
    void emit_binary(const std::vector<uint8_t>& data) {
        WsEvent ev{WsEvent::Type::Message};
        ev.binary = true;
        ev.data = data;
        emit(ev);
    }

    std::vector<Sent> take_sent() {
        std::lock_guard<std::mutex> lock(m_);
        return std::exchange(sent_, {});
    }
    const WsTransportOptions& options() const { return options_; }

private:
    bool record(bool binary, std::vector<uint8_t> data) {
        if (!open_) return false;
        std::lock_guard<std::mutex> lock(m_);
        sent_.push_back({binary, std::move(data)});
        return true;
    }

    WsEventHandler handler_;
    WsTransportOptions options_;
    bool open_ = false;
    std::mutex m_;
    std::vector<Sent> sent_;
};
