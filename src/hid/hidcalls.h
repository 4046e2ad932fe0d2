#ifndef HIDCALLS_H
#define HIDCALLS_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// The calls that may talk to a device before it is open: listing the
// devices (on Windows hid_enumerate opens every HID device and asks each for
// its strings, requests that go to the device) and opening one. A thread of
// their own runs them one after another, never the caller's: a board that
// does not answer while it erases flash holds only this thread.
//
// The thread owns its state with its caller, as a writer does: the caller
// waits for it with a deadline at the end, and a call still running past it
// goes on alone.
class HidCalls : public std::enable_shared_from_this<HidCalls>
{
public:
    static std::shared_ptr<HidCalls> Start();

    // Runs `call` on the thread, after those queued before it.
    void Run(std::function<void()> call);
    // The calls queued or running.
    int Pending();
    // No more calls: the thread ends after the one that runs (those queued
    // are dropped). Waits at most `ms` for it; true when it has ended.
    bool Stop(int ms);

private:
    void Loop();

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable ended;
    std::deque<std::function<void()>> calls;
    bool running = false;
    bool stopping = false;
    bool finished = false;
};

#endif // HIDCALLS_H
