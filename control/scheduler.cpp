// One-second callback scheduler. Calls are kept in due order; the scheduler
// thread wakes once a second, takes off every call that has come due and
// makes them one after another, without holding csCallQ.
#include "control/scheduler.h"

#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "platform/process.h"
#include "platform/sync.h"

std::atomic<time_t> curSecondCount{0};

namespace {

struct ScheduledCallback {
    int repeat;
    ScheduledFunction function;
    void* argument;
    time_t due;
    unsigned interval;
    ScheduledCallback* next;
};

ScheduledCallback* cbHead = nullptr;  // earliest first, under csCallQ

CriticalSection& csCallQ()
{
    static Lasting<CriticalSection> cs;
    return *cs;
}

void Insert(ScheduledCallback* call)
{
    if (cbHead == nullptr || cbHead->due > call->due) {
        call->next = cbHead;
        cbHead = call;
        return;
    }
    // Goes before calls due at the same time, but always after the first.
    ScheduledCallback* after = cbHead;
    while (after->next != nullptr && after->next->due < call->due)
        after = after->next;
    call->next = after->next;
    after->next = call;
}

// Takes off the calls due now. Calls scheduled while these run wait for the
// next pass, so one scheduled with interval 0 cannot keep a pass going for ever.
ScheduledCallback* TakeDue(time_t now)
{
    ScheduledCallback* first = cbHead;
    ScheduledCallback* last = nullptr;
    for (ScheduledCallback* call = cbHead; call != nullptr && call->due <= now; call = call->next)
        last = call;
    if (last == nullptr)
        return nullptr;
    cbHead = last->next;
    last->next = nullptr;
    return first;
}

[[noreturn]] void SchedCallbackLoop()
{
    curSecondCount = std::time(nullptr);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        curSecondCount = std::time(nullptr);
        ScheduledCallback* call;
        {
            CsLock lock(csCallQ());
            call = TakeDue(curSecondCount);
        }
        // Called without csCallQ: a function that takes other locks must not
        // deadlock with a thread that schedules while holding one of them.
        while (call != nullptr) {
            call->function(call->argument);
            if (call->repeat)
                ScheduleCallback(call->interval, 1, call->function, call->argument);
            delete std::exchange(call, call->next);
        }
    }
}

}  // namespace

int SchedCallbackInit()
{
    static std::once_flag started;
    bool running = true;
    std::call_once(started, [&running] {
        curSecondCount = std::time(nullptr);
        running = StartThread("scheduler", SchedCallbackLoop);
    });
    return running ? 1 : 0;
}

int ScheduleCallback(unsigned interval, int repeat, ScheduledFunction function, void* argument)
{
    CsLock lock(csCallQ());
    auto* call = new (std::nothrow)
        ScheduledCallback{repeat, function, argument, curSecondCount + interval, interval, nullptr};
    if (call == nullptr)
        return 0;
    Insert(call);
    return 1;
}
