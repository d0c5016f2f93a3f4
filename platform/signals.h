// Signals of the server: the stop signals (SIGINT, SIGQUIT, SIGTERM) are
// blocked in every thread and taken by one control thread with sigwait;
// SIGPIPE is ignored.
#pragma once

// SIGPIPE ignored for the process.
void IgnoreBrokenPipes();

// Blocks the stop signals in the calling thread, and so in every thread it
// starts afterwards.
void BlockStopSignals();

// Waits for the next stop signal and returns it.
int WaitForStopSignal();

// Sends SIGTERM to this process: the stop an operator asks for by command
// takes the same road as one from the service manager.
void RaiseStopSignal();
