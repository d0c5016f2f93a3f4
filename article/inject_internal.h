// Entry points of the post injector that only its own source and the tests use.
#pragma once

// What became of one post file.
enum class InjectOutcome {
    kInjected,   // stored; the file is gone
    kModerated,  // moved to moderation/<group>/
    kRefused,    // moved to bad/, the reason logged
    kDeferred,   // the store could not take it; the file stays for a retry
    kMissing,    // no such file (taken already)
};

// Injects the post file `name` of the post directory on the calling thread.
InjectOutcome InjectPostFile(const char* name);
