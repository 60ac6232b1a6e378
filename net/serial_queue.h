#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Runs tasks one at a time, in the order they were posted, on a thread of its own.
// The queue is bounded in bytes: post() waits while the tasks already queued account for
// more than the limit, which hands the back-pressure to the poster (the relay's reading
// thread, and through TCP the relay) instead of dropping anything. A single task larger
// than the limit is taken when the queue is empty.
class SerialQueue {
public:
    explicit SerialQueue(size_t max_queued_bytes);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(size_t bytes, std::function<void()> task);
    // Returns once every task posted before the call has run. Not from a task.
    void wait_idle();
    // Runs what is queued, then ends the thread; later posts run on a new one.
    void stop();

    size_t queued_bytes();

private:
    void run();

    const size_t max_bytes_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<size_t, std::function<void()>>> tasks_;
    size_t queued_bytes_ = 0;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};
