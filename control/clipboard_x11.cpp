// X11 clipboard: the CLIPBOARD selection.
//
// Setting text makes the agent the selection owner. A serving thread with its own
// connection and an unmapped window answers other clients' requests (UTF8_STRING,
// STRING, TEXT, text/plain;charset=utf-8, TARGETS, TIMESTAMP), sends texts larger than
// one request in INCR chunks, and lets go of the text when another client takes the
// selection (SelectionClear). Reading asks the current owner through a second
// connection, guarded by a mutex, and waits a bounded time for each answer; while the
// agent owns the selection its own text is returned without asking the server.

#include "control/clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include <spdlog/spdlog.h>

namespace {

using Clock = std::chrono::steady_clock;
using Text = std::shared_ptr<const std::string>;

constexpr auto REPLY_TIMEOUT = std::chrono::milliseconds(1000);  // per answer or INCR chunk
constexpr auto OWNERSHIP_TIMEOUT = std::chrono::milliseconds(2000);
constexpr auto TRANSFER_IDLE_TIMEOUT = std::chrono::seconds(5);
constexpr size_t MAX_TEXT_BYTES = 64u << 20;

struct Atoms {
    Atom clipboard, targets, timestamp, utf8_string, text, text_plain_utf8, incr, transfer, stamp;

    explicit Atoms(Display* dpy) {
        const char* names[] = {"CLIPBOARD", "TARGETS", "TIMESTAMP", "UTF8_STRING", "TEXT",
                               "text/plain;charset=utf-8", "INCR", "ZARVEX_CLIPBOARD", "ZARVEX_TIMESTAMP"};
        Atom out[9];
        XInternAtoms(dpy, const_cast<char**>(names), 9, False, out);
        clipboard = out[0], targets = out[1], timestamp = out[2], utf8_string = out[3], text = out[4];
        text_plain_utf8 = out[5], incr = out[6], transfer = out[7], stamp = out[8];
    }
};

// --- Connections ---------------------------------------------------------------------------

// Errors on the clipboard's own connections (a requestor window that vanished mid-
// transfer, say) must not end the process; errors on other connections go to whatever
// handler was installed before. Neither may a server that goes away: Xlib's exit handler
// would call exit() on the clipboard's thread, so each connection has one that only marks
// it lost; it is then closed and opened anew when next needed.
struct Connection {
    Display* dpy;
    bool lost;
};
std::mutex g_connections_mutex;
std::vector<Connection> g_connections;
XErrorHandler g_previous_error_handler = nullptr;

std::vector<Connection>::iterator find_connection(Display* dpy) {
    return std::find_if(g_connections.begin(), g_connections.end(), [dpy](const Connection& c) { return c.dpy == dpy; });
}

int on_x_error(Display* dpy, XErrorEvent* error) {
    bool ours;
    {
        std::lock_guard lk(g_connections_mutex);
        ours = find_connection(dpy) != g_connections.end();
    }
    if (!ours) return g_previous_error_handler ? g_previous_error_handler(dpy, error) : 0;
    spdlog::debug("Clipboard: X error {} on request {} ignored", error->error_code, error->request_code);
    return 0;
}

void on_connection_lost(Display* dpy, void*) {
    std::lock_guard lk(g_connections_mutex);
    if (auto it = find_connection(dpy); it != g_connections.end()) it->lost = true;
}

// True once the server closed the connection; nothing may be asked of it any more.
bool connection_lost(Display* dpy) {
    std::lock_guard lk(g_connections_mutex);
    auto it = find_connection(dpy);
    return it == g_connections.end() || it->lost;
}

// Opens a connection with an unmapped 1x1 window that reports its property changes.
// The first failure in a row is a warning, repeats (every poll of the watcher) debug.
Display* open_connection(Window& window) {
    static std::atomic<bool> reported{false};
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        const char* name = std::getenv("DISPLAY");
        spdlog::log(reported.exchange(true) ? spdlog::level::debug : spdlog::level::warn,
                    "Clipboard unavailable: cannot open X display '{}'", name ? name : "");
        return nullptr;
    }
    reported = false;
    XSetIOErrorExitHandler(dpy, on_connection_lost, nullptr);
    {
        std::lock_guard lk(g_connections_mutex);
        if (g_connections.empty()) g_previous_error_handler = XSetErrorHandler(on_x_error);
        g_connections.push_back({dpy, false});
    }
    window = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), -10, -10, 1, 1, 0, 0, 0);
    XSelectInput(dpy, window, PropertyChangeMask);
    return dpy;
}

void close_connection(Display* dpy, Window window) {
    // A lost connection is left as it is: Xlib may still count the thread that met the
    // loss as reading from it, and XCloseDisplay would wait for that thread for ever.
    if (!connection_lost(dpy)) {
        XDestroyWindow(dpy, window);
        XCloseDisplay(dpy);
    }
    std::lock_guard lk(g_connections_mutex);
    if (auto it = find_connection(dpy); it != g_connections.end()) g_connections.erase(it);
}

// Waits until an event that matches pred arrives, or the deadline passes, or the
// connection is lost.
template <typename Pred>
bool wait_for_event(Display* dpy, XEvent& event, Pred pred, Clock::time_point deadline) {
    auto trampoline = [](Display*, XEvent* ev, XPointer arg) -> Bool {
        return (*reinterpret_cast<Pred*>(arg))(*ev) ? True : False;
    };
    for (;;) {
        if (XCheckIfEvent(dpy, &event, trampoline, reinterpret_cast<XPointer>(&pred))) return true;
        if (connection_lost(dpy)) return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd fd{ConnectionNumber(dpy), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left));
    }
}

// --- Serving the selection ---------------------------------------------------------------

class SelectionServer {
public:
    static SelectionServer& instance() {
        static SelectionServer server;
        return server;
    }

    ~SelectionServer() {
        {
            std::lock_guard lk(mutex_);
            if (!thread_.joinable()) return;
            quit_ = true;
        }
        wake();
        thread_.join();
        close_connection(dpy_, window_);
        close(wake_pipe_[0]);
        close(wake_pipe_[1]);
    }

    // Makes text the selection's contents; blocks until the serving thread owns it.
    bool set_text(Text text) {
        std::unique_lock lk(mutex_);
        if (!start_locked()) return false;
        pending_ = std::move(text);
        const uint64_t ticket = ++requested_;
        wake();
        if (!done_.wait_for(lk, OWNERSHIP_TIMEOUT, [&] { return completed_ >= ticket; })) {
            spdlog::error("Clipboard: X server did not confirm selection ownership");
            return false;
        }
        if (!last_ok_) spdlog::error("Clipboard: X server refused selection ownership");
        return last_ok_;
    }

    // Our own text while we own the selection.
    Text owned_text() {
        std::lock_guard lk(mutex_);
        return owned_;
    }

private:
    struct Transfer {
        Window requestor;
        Atom property;
        Atom type;
        Text data;
        size_t offset = 0;
        Clock::time_point last_activity;
    };

    // The serving thread logs until this object's destructor joins it at exit: the log
    // registry, a static of its own, is made first so that it is destroyed after.
    SelectionServer() { spdlog::default_logger_raw(); }

    bool start_locked() {
        if (thread_.joinable() && !ended_) return true;
        if (thread_.joinable()) {
            // The serving thread ended with its connection (the server went away): a new
            // connection, if there is a server again.
            thread_.join();
            close_connection(dpy_, window_);
            close(wake_pipe_[0]);
            close(wake_pipe_[1]);
            dpy_ = nullptr;
            transfers_.clear();
            current_ = nullptr;
            owned_ = nullptr;
            ended_ = false;
        }
        dpy_ = open_connection(window_);
        if (!dpy_) return false;
        if (pipe2(wake_pipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
            spdlog::error("Clipboard: cannot create the serving thread's wake-up pipe");
            close_connection(dpy_, window_);
            return false;
        }
        atoms_ = std::make_unique<Atoms>(dpy_);
        // Text up to one core request goes out whole, larger text through INCR.
        chunk_bytes_ = static_cast<size_t>(XMaxRequestSize(dpy_)) * 4 - 1024;
        thread_ = std::thread(&SelectionServer::run, this);
        return true;
    }

    void wake() {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = write(wake_pipe_[1], &byte, 1);
    }

    void run() {
        for (;;) {
            while (XPending(dpy_) > 0) {
                XEvent event;
                XNextEvent(dpy_, &event);
                handle_event(event);
            }
            if (connection_lost(dpy_)) {
                spdlog::warn("Clipboard: lost the connection to the X server");
                std::lock_guard lk(mutex_);
                owned_ = nullptr;
                completed_ = requested_;  // a caller waiting for ownership learns it failed
                last_ok_ = false;
                ended_ = true;  // the thread takes no lock after this
                done_.notify_all();
                return;
            }
            char drain[64];
            while (read(wake_pipe_[0], drain, sizeof drain) > 0) {
            }
            Text pending;
            uint64_t ticket;
            {
                std::lock_guard lk(mutex_);
                if (quit_) return;
                pending = std::move(pending_);
                ticket = requested_;
            }
            if (pending) {
                const bool ok = take_ownership(pending) && !connection_lost(dpy_);
                std::lock_guard lk(mutex_);
                owned_ = ok ? pending : nullptr;
                last_ok_ = ok;
                completed_ = ticket;
                done_.notify_all();
            }
            expire_transfers();
            XFlush(dpy_);
            if (XPending(dpy_) > 0) continue;
            pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
            poll(fds, 2, transfers_.empty() ? -1 : 1000);
        }
    }

    // A server timestamp for the ownership claim: the time of a property change on our
    // window. None when the server does not answer in time (or went away).
    std::optional<Time> server_time() {
        const unsigned char nothing = 0;
        XChangeProperty(dpy_, window_, atoms_->stamp, XA_STRING, 8, PropModeAppend, &nothing, 0);
        XFlush(dpy_);
        const Window window = window_;
        const Atom stamp = atoms_->stamp;
        XEvent event;
        if (!wait_for_event(
                dpy_, event,
                [window, stamp](const XEvent& ev) {
                    return ev.type == PropertyNotify && ev.xproperty.window == window && ev.xproperty.atom == stamp;
                },
                Clock::now() + REPLY_TIMEOUT)) {
            return std::nullopt;
        }
        return event.xproperty.time;
    }

    bool take_ownership(const Text& text) {
        const std::optional<Time> stamp = server_time();
        if (!stamp) return false;
        const Time now = *stamp;
        XSetSelectionOwner(dpy_, atoms_->clipboard, window_, now);
        if (XGetSelectionOwner(dpy_, atoms_->clipboard) != window_) {
            current_ = nullptr;
            return false;
        }
        owned_since_ = now;
        current_ = text;
        return true;
    }

    void handle_event(const XEvent& event) {
        switch (event.type) {
        case SelectionRequest:
            answer(event.xselectionrequest);
            break;
        case SelectionClear:
            // A claim of ours made after this event was queued still stands.
            if (event.xselectionclear.selection == atoms_->clipboard && current_ &&
                XGetSelectionOwner(dpy_, atoms_->clipboard) != window_) {
                spdlog::debug("Clipboard: another client took the selection");
                current_ = nullptr;
                std::lock_guard lk(mutex_);
                owned_ = nullptr;
            }
            break;
        case PropertyNotify:
            if (event.xproperty.state == PropertyDelete) send_next_chunk(event.xproperty.window, event.xproperty.atom);
            break;
        default:
            break;
        }
    }

    void answer(const XSelectionRequestEvent& request) {
        // Obsolete clients name no property: the target doubles as one.
        const Atom property = request.property != None ? request.property : request.target;
        const bool owned = current_ && request.selection == atoms_->clipboard &&
                           (request.time == CurrentTime || request.time >= owned_since_);
        bool ok = false;
        if (owned) {
            const Atom target = request.target;
            if (target == atoms_->targets) {
                const long list[] = {static_cast<long>(atoms_->targets),     static_cast<long>(atoms_->timestamp),
                                     static_cast<long>(atoms_->utf8_string), static_cast<long>(atoms_->text),
                                     static_cast<long>(atoms_->text_plain_utf8), static_cast<long>(XA_STRING)};
                XChangeProperty(dpy_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(list), 6);
                ok = true;
            } else if (target == atoms_->timestamp) {
                const long stamp = static_cast<long>(owned_since_);
                XChangeProperty(dpy_, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(&stamp), 1);
                ok = true;
            } else if (target == atoms_->utf8_string || target == atoms_->text) {
                ok = send_text(request.requestor, property, atoms_->utf8_string, current_);
            } else if (target == atoms_->text_plain_utf8) {
                ok = send_text(request.requestor, property, target, current_);
            } else if (target == XA_STRING) {
                ok = send_text(request.requestor, property, XA_STRING,
                               std::make_shared<const std::string>(utf8_to_latin1(*current_)));
            }
        }
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = request.display;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.property = ok ? property : None;
        reply.time = request.time;
        XEvent ev;
        ev.xselection = reply;
        XSendEvent(dpy_, request.requestor, False, NoEventMask, &ev);
    }

    bool send_text(Window requestor, Atom property, Atom type, const Text& data) {
        if (data->size() <= chunk_bytes_) {
            XChangeProperty(dpy_, requestor, property, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(data->data()), static_cast<int>(data->size()));
            return true;
        }
        // INCR: announce the size; each time the requestor deletes the property the next
        // chunk follows, and an empty chunk ends the transfer.
        spdlog::debug("Clipboard: serving {} bytes in INCR chunks", data->size());
        drop_transfer(requestor, property);
        XSelectInput(dpy_, requestor, PropertyChangeMask);
        const long size = static_cast<long>(data->size());
        XChangeProperty(dpy_, requestor, property, atoms_->incr, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        transfers_.push_back({requestor, property, type, data, 0, Clock::now()});
        return true;
    }

    void send_next_chunk(Window requestor, Atom property) {
        auto it = std::find_if(transfers_.begin(), transfers_.end(),
                               [&](const Transfer& t) { return t.requestor == requestor && t.property == property; });
        if (it == transfers_.end()) return;
        const size_t n = std::min(chunk_bytes_, it->data->size() - it->offset);
        XChangeProperty(dpy_, requestor, property, it->type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(it->data->data() + it->offset), static_cast<int>(n));
        it->offset += n;
        it->last_activity = Clock::now();
        if (n == 0) drop_transfer(requestor, property);
    }

    void drop_transfer(Window requestor, Atom property) {
        std::erase_if(transfers_, [&](const Transfer& t) { return t.requestor == requestor && t.property == property; });
        const bool still_used = std::any_of(transfers_.begin(), transfers_.end(),
                                            [&](const Transfer& t) { return t.requestor == requestor; });
        if (!still_used) XSelectInput(dpy_, requestor, NoEventMask);
    }

    // A requestor that stopped taking chunks (or went away) is given up on.
    void expire_transfers() {
        const auto now = Clock::now();
        std::vector<std::pair<Window, Atom>> stale;
        for (const Transfer& t : transfers_)
            if (now - t.last_activity > TRANSFER_IDLE_TIMEOUT) stale.emplace_back(t.requestor, t.property);
        for (const auto& [requestor, property] : stale) {
            spdlog::debug("Clipboard: INCR transfer to window 0x{:x} abandoned", requestor);
            drop_transfer(requestor, property);
        }
    }

    // Shared with callers, under mutex_.
    std::mutex mutex_;
    std::condition_variable done_;
    Text pending_;
    uint64_t requested_ = 0;
    uint64_t completed_ = 0;
    bool last_ok_ = false;
    Text owned_;
    bool quit_ = false;
    bool ended_ = false;  // the serving thread returned after its connection was lost
    std::thread thread_;

    // Set up before the serving thread starts; afterwards used by it alone (wake_pipe_[1]
    // by callers too).
    Display* dpy_ = nullptr;
    Window window_ = 0;
    std::unique_ptr<Atoms> atoms_;
    int wake_pipe_[2] = {-1, -1};
    size_t chunk_bytes_ = 0;
    Text current_;
    Time owned_since_ = CurrentTime;
    std::vector<Transfer> transfers_;
};

// --- Reading another owner's selection -----------------------------------------------------

class SelectionReader {
public:
    static SelectionReader& instance() {
        static SelectionReader reader;
        return reader;
    }

    ~SelectionReader() {
        if (dpy_) close_connection(dpy_, window_);
    }

    std::string read() {
        std::lock_guard lk(mutex_);
        if (!dpy_) {
            dpy_ = open_connection(window_);
            if (!dpy_) return {};
            atoms_ = std::make_unique<Atoms>(dpy_);
        }
        std::string text;
        Result result = convert(atoms_->utf8_string, text);
        // Clients that predate UTF8_STRING still offer Latin-1.
        if (result == Result::Refused) result = convert(XA_STRING, text) == Result::Ok ? Result::Ok : Result::Failed;
        if (connection_lost(dpy_)) {
            spdlog::warn("Clipboard: lost the connection to the X server");
            close_connection(dpy_, window_);
            dpy_ = nullptr;
            return {};
        }
        return result == Result::Ok ? text : std::string();
    }

private:
    enum class Result { Ok, Refused, Failed };

    SelectionReader() = default;

    Result convert(Atom target, std::string& text) {
        discard_stale_events();
        XConvertSelection(dpy_, atoms_->clipboard, target, atoms_->transfer, window_, CurrentTime);
        XFlush(dpy_);
        XEvent event;
        const Window window = window_;
        if (!wait_for_event(
                dpy_, event, [window](const XEvent& ev) { return ev.type == SelectionNotify && ev.xselection.requestor == window; },
                Clock::now() + REPLY_TIMEOUT)) {
            spdlog::debug("Clipboard: selection owner did not answer within {} ms", REPLY_TIMEOUT.count());
            return Result::Failed;
        }
        if (event.xselection.property == None) return Result::Refused;
        // The owner's write of the answer was reported before its SelectionNotify; an
        // INCR transfer must wait for the writes that follow.
        discard_queued_events();
        Atom type;
        if (!take_property(type, text)) return Result::Refused;
        if (type == atoms_->incr) {
            if (!receive_incr(type, text)) return Result::Failed;
        }
        // Whatever the owner sent, the agent passes on well-formed UTF-8 only.
        text = type == XA_STRING ? latin1_to_utf8(text) : utf16_to_utf8(utf8_to_utf16(text));
        return Result::Ok;
    }

    // Chunks follow each deletion of the INCR property (take_property deleted it already);
    // an empty chunk ends the transfer.
    bool receive_incr(Atom& type, std::string& text) {
        spdlog::debug("Clipboard: receiving text in INCR chunks");
        text.clear();
        const Window window = window_;
        const Atom property = atoms_->transfer;
        auto new_value = [window, property](const XEvent& ev) {
            return ev.type == PropertyNotify && ev.xproperty.window == window && ev.xproperty.atom == property &&
                   ev.xproperty.state == PropertyNewValue;
        };
        for (;;) {
            XEvent event;
            if (!wait_for_event(dpy_, event, new_value, Clock::now() + REPLY_TIMEOUT)) {
                spdlog::debug("Clipboard: selection owner stopped sending INCR chunks");
                return false;
            }
            std::string chunk;
            if (!take_property(type, chunk)) return false;
            if (chunk.empty()) return true;
            if (text.size() + chunk.size() > MAX_TEXT_BYTES) {
                spdlog::warn("Clipboard: text over {} bytes ignored", MAX_TEXT_BYTES);
                return false;
            }
            text += chunk;
        }
    }

    // Reads and deletes our transfer property; only 8-bit data counts as text.
    bool take_property(Atom& type, std::string& data) {
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* bytes = nullptr;
        if (XGetWindowProperty(dpy_, window_, atoms_->transfer, 0, 0, False, AnyPropertyType, &type, &format, &items,
                               &after, &bytes) != Success) {
            return false;
        }
        if (bytes) XFree(bytes);
        if (type == None) return false;
        if (after > MAX_TEXT_BYTES) {
            XDeleteProperty(dpy_, window_, atoms_->transfer);
            spdlog::warn("Clipboard: text over {} bytes ignored", MAX_TEXT_BYTES);
            return false;
        }
        bytes = nullptr;
        if (XGetWindowProperty(dpy_, window_, atoms_->transfer, 0, static_cast<long>((after + 3) / 4), True,
                               AnyPropertyType, &type, &format, &items, &after, &bytes) != Success) {
            return false;
        }
        if (type == atoms_->incr) {
            data.clear();
        } else if (format == 8) {
            data.assign(reinterpret_cast<const char*>(bytes), items);
        } else {
            type = None;
        }
        if (bytes) XFree(bytes);
        return type != None;
    }

    // Events left over from an answer that came too late.
    void discard_stale_events() {
        XSync(dpy_, False);
        discard_queued_events();
        XDeleteProperty(dpy_, window_, atoms_->transfer);
    }

    void discard_queued_events() {
        XEvent event;
        auto ours = [](Display*, XEvent* ev, XPointer arg) -> Bool {
            return ev->xany.window == *reinterpret_cast<Window*>(arg) ? True : False;
        };
        while (XCheckIfEvent(dpy_, &event, ours, reinterpret_cast<XPointer>(&window_))) {
        }
    }

    std::mutex mutex_;
    Display* dpy_ = nullptr;
    Window window_ = 0;
    std::unique_ptr<Atoms> atoms_;
};

}  // namespace

std::string get_clipboard_text() {
    if (Text own = SelectionServer::instance().owned_text()) return *own;
    return SelectionReader::instance().read();
}

bool set_clipboard_text(const std::string& text) {
    return SelectionServer::instance().set_text(std::make_shared<const std::string>(text));
}
