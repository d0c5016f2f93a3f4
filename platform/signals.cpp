// Signal dispositions and masks, and the wait of the control thread.
#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace {

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void IgnoreBrokenPipes()
{
    ::signal(SIGPIPE, SIG_IGN);
}

void BlockStopSignals()
{
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForStopSignal()
{
    sigset_t set = StopSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
}

void RaiseStopSignal()
{
    ::kill(::getpid(), SIGTERM);
}
