// Intake pause: the operator stops peers from offering articles (for store
// maintenance, a full disk, a bad feed) while readers go on reading. Paused,
// IHAVE is answered 436 and CHECK 431 with the operator's reason, a TAKETHIS
// article is read and answered 400 (the connection closes, so the peer keeps
// it and offers it again later), and the post injector waits; queued posts
// stay on disk until intake resumes.
//
// Concurrency: any thread may pause, resume or ask; the paused flag is one
// atomic load on the feed path, the reason is copied under a lock.
#pragma once

#include <string>

// Pauses intake for `reason` (one line; line breaks become blanks). A
// second pause replaces the reason.
void PauseIntake(const std::string& reason);

// Resumes intake; false when it was not paused.
bool ResumeIntake();

// True while intake is paused.
bool IntakePaused();

// The reason given to the pause; empty when not paused.
std::string IntakePauseReason();
