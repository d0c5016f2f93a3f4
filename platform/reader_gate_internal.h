// Reader gate state for the tests.
#pragma once

#include "platform/reader_gate.h"

// How many threads are blocked at the gate: readers waiting to enter and
// writers waiting to close it or for its readers to leave.
int ReaderGateWaiting(ReaderGate& gate);
