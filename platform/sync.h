// Locks and shared counters of the server. Critical sections are re-entrant,
// so a thread holding one may enter it again (scheduled callbacks rely on it).
#pragma once

#include <mutex>

using CriticalSection = std::recursive_mutex;
using CsLock = std::lock_guard<CriticalSection>;
