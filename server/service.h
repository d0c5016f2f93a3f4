// Program entry, the start-up and closing orders, and the service stand-in.
#pragma once

#include <atomic>

// Set once shutdown begins; polled by the accept loop, sessions and workers.
extern std::atomic<int> bShutDown;

// Reports an error text: standard output in debug mode, syslog otherwise.
void AddToMessageLog(const char* text);

// Program entry (called by main).
int ServiceMain(int argc, char* argv[]);
