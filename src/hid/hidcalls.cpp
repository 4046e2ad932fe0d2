#include "hidcalls.h"

#include <chrono>
#include <thread>

std::shared_ptr<HidCalls> HidCalls::Start()
{
    auto calls = std::make_shared<HidCalls>();
    std::thread([calls]() { calls->Loop(); }).detach();
    return calls;
}

void HidCalls::Run(std::function<void()> call)
{
    std::unique_lock<std::mutex> lock(mutex);
    calls.push_back(std::move(call));
    wake.notify_one();
}

int HidCalls::Pending()
{
    std::unique_lock<std::mutex> lock(mutex);
    return int(calls.size()) + (running ? 1 : 0);
}

bool HidCalls::Stop(int ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    stopping = true;
    calls.clear();
    wake.notify_one();
    return ended.wait_for(lock, std::chrono::milliseconds(ms), [this]() { return finished; });
}

void HidCalls::Loop()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        while (calls.empty() && !stopping)
            wake.wait(lock);
        if (stopping)
            break;
        std::function<void()> call = std::move(calls.front());
        calls.pop_front();
        running = true;
        lock.unlock();
        call();
        call = nullptr; // what it holds goes on this thread
        lock.lock();
        running = false;
    }
    finished = true;
    ended.notify_all();
}
