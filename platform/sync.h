// Locks and shared counters of the server. Critical sections are re-entrant,
// so a thread holding one may enter it again (scheduled callbacks rely on it).
#pragma once

#include <mutex>
#include <new>

using CriticalSection = std::recursive_mutex;
using CsLock = std::lock_guard<CriticalSection>;

// Holds an object that is never destroyed. Every lock of the server lives in
// one, built on first use by the accessor that returns it:
//     CriticalSection& csName() { static Lasting<CriticalSection> cs; return *cs; }
// Threads still take locks while the process exits (the scheduler, the
// incoming refresh, log lines, the closing order holding some for good), so a
// lock must outlive static destruction; building it on first use also makes
// it safe to take from any other static's constructor.
template <class T>
class Lasting {
public:
    Lasting() { ::new (static_cast<void*>(bytes_)) T(); }
    Lasting(const Lasting&) = delete;
    Lasting& operator=(const Lasting&) = delete;
    T& operator*() { return *std::launder(reinterpret_cast<T*>(bytes_)); }
    T* operator->() { return &**this; }

private:
    alignas(T) unsigned char bytes_[sizeof(T)];
};
