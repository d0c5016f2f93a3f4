// Program entry, the start-up and closing orders, and the service stand-in.
#pragma once

#include <atomic>
#include <cstddef>

inline constexpr const char* kServiceName = "Verdalix";
inline constexpr const char* kDisplayName = "Verdalix Internet News Server";

// Set once shutdown begins; polled by the accept loop, sessions and workers.
extern std::atomic<int> bShutDown;
// 1 when running with -debug: messages go to standard output.
extern std::atomic<int> bDebug;

// Reports an error text: standard output in debug mode, syslog otherwise.
void AddToMessageLog(const char* text);

// strerror(errno) followed by " (0x%x)", or empty when it does not fit.
char* GetLastErrorText(char* buffer, size_t size);

// The start-up order; ends in the accept loop and does not return.
[[noreturn]] void ServiceStart();

// Sets bShutDown and runs the closing order. Returns 0.
int ServiceStop();

// The ordered closing of all modules.
void CloseFiles();

// Program entry (called by main).
int ServiceMain(int argc, char* argv[]);
