// Intake pause: the flag the feed commands and the injector look at, and the
// operator's reason they give.
#include "nntp/intake.h"

#include <atomic>
#include <mutex>

#include "platform/sync.h"

namespace {

std::atomic<bool> paused{false};

struct PauseReason {
    std::mutex lock;
    std::string text;
};

PauseReason& Reason()
{
    static Lasting<PauseReason> reason;
    return *reason;
}

}  // namespace

void PauseIntake(const std::string& reason)
{
    std::string line = reason;
    for (char& c : line)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    {
        std::lock_guard lock(Reason().lock);
        Reason().text = line;
    }
    paused.store(true, std::memory_order_release);
}

bool ResumeIntake()
{
    const bool was = paused.exchange(false, std::memory_order_acq_rel);
    std::lock_guard lock(Reason().lock);
    Reason().text.clear();
    return was;
}

bool IntakePaused()
{
    return paused.load(std::memory_order_acquire);
}

std::string IntakePauseReason()
{
    if (!IntakePaused())
        return {};
    std::lock_guard lock(Reason().lock);
    return Reason().text;
}
