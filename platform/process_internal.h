// Test seam of platform/process: makes thread starts fail on demand.
#pragma once

// The next `count` calls of StartThread fail as if the system had no thread
// to give (EAGAIN); 0 restores normal starts.
void FailThreadStartsForTest(int count);
