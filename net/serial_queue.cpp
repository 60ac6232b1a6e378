#include "net/serial_queue.h"

SerialQueue::SerialQueue(size_t max_queued_bytes) : max_bytes_(max_queued_bytes) {}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::post(size_t bytes, std::function<void()> task) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return tasks_.empty() || queued_bytes_ + bytes <= max_bytes_; });
    tasks_.emplace_back(bytes, std::move(task));
    queued_bytes_ += bytes;
    if (!thread_.joinable()) {
        stopping_ = false;
        thread_ = std::thread([this] { run(); });
    }
    changed_.notify_all();
}

void SerialQueue::wait_idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return tasks_.empty() && !busy_; });
}

void SerialQueue::stop() {
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        worker = std::move(thread_);
    }
    changed_.notify_all();
    if (worker.joinable()) worker.join();
}

size_t SerialQueue::queued_bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_bytes_;
}

void SerialQueue::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return !tasks_.empty() || stopping_; });
        if (tasks_.empty()) return;  // stopping, and everything has run
        auto [bytes, task] = std::move(tasks_.front());
        tasks_.pop_front();
        busy_ = true;
        lock.unlock();
        task();
        lock.lock();
        busy_ = false;
        queued_bytes_ -= bytes;
        changed_.notify_all();
    }
}
