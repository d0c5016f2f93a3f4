// Accept loop with its admission checks.
// Placeholder: filled in when this module is built.
#include "server/accept.h"

#include <thread>

#include "control/tcl_interface.h"

std::atomic<uint32_t> TotalConnected{0};
std::atomic<uint32_t> MaxConnections{350};

int DoConnections()
{
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}
