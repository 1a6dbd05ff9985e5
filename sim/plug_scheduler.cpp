#include "sim/plug_scheduler.h"

namespace kr960sim
{

PlugScheduler::PlugScheduler() : worker([this] { serve(); }) {}

PlugScheduler::~PlugScheduler()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    changed.notify_all();
    worker.join();
}

void PlugScheduler::schedule(int delayMs, std::function<void()> action)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        pending.emplace(Clock::now() + std::chrono::milliseconds(delayMs), std::move(action));
    }
    changed.notify_all();
}

void PlugScheduler::serve()
{
    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
        if (pending.empty()) {
            changed.wait(guard);
            continue;
        }
        const auto due = pending.begin()->first;
        if (Clock::now() < due) {
            changed.wait_until(guard, due);
            continue;
        }
        std::function<void()> action = std::move(pending.begin()->second);
        pending.erase(pending.begin());
        guard.unlock();
        action();
        guard.lock();
    }
}

} // namespace kr960sim
