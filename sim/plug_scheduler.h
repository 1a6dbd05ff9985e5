#pragma once

// Runs plug and unplug actions at their time on a thread of their own, the way a device that
// restarts leaves and rejoins the bus while the host goes on scanning. Actions due at the same
// time run in the order they were scheduled, so a device's control transfers use one as their
// queue as well.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace kr960sim
{

class PlugScheduler
{
public:
    PlugScheduler();
    ~PlugScheduler(); // drops what has not run yet
    PlugScheduler(const PlugScheduler &) = delete;
    PlugScheduler &operator=(const PlugScheduler &) = delete;

    void schedule(int delayMs, std::function<void()> action);

private:
    void serve();

    using Clock = std::chrono::steady_clock;
    std::mutex lock;
    std::condition_variable changed;
    std::multimap<Clock::time_point, std::function<void()>> pending;
    bool stopping = false;
    std::thread worker;
};

} // namespace kr960sim
