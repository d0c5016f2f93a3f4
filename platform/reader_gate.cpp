// Reader gate: a count of readers inside and a closed flag under one mutex;
// every change that a waiting thread may be waiting for wakes the waiters.
#include "platform/reader_gate.h"

#include "platform/reader_gate_internal.h"

namespace {

// Waits on `cv` until `done`, counting the caller as blocked meanwhile.
template <class Done>
void WaitCounted(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int& waiting, Done done)
{
    if (done())
        return;
    ++waiting;
    cv.wait(lock, done);
    --waiting;
}

}  // namespace

void ReaderGate::Enter()
{
    std::unique_lock lock(lock_);
    WaitCounted(lock, changed_, waiting_, [this] { return !closed_; });
    ++readers_;
}

void ReaderGate::Leave()
{
    std::lock_guard lock(lock_);
    if (--readers_ == 0 && closed_)
        changed_.notify_all();
}

void ReaderGate::Close()
{
    std::unique_lock lock(lock_);
    WaitCounted(lock, changed_, waiting_, [this] { return !closed_; });
    closed_ = true;
    WaitCounted(lock, changed_, waiting_, [this] { return readers_ == 0; });
}

void ReaderGate::Open()
{
    {
        std::lock_guard lock(lock_);
        closed_ = false;
    }
    changed_.notify_all();
}

int ReaderGateWaiting(ReaderGate& gate)
{
    std::lock_guard lock(gate.lock_);
    return gate.waiting_;
}
