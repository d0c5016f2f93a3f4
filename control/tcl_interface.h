// The embedded Tcl interpreter: start-up script, event loop, and -script.
#pragma once

// Starts the interpreter thread, which runs the start-up script and then the
// Tcl event loop for ever. Returns 1 at once.
int InterfaceInit();

// Body of the -script switch: evaluates argv[2] in a plain interpreter and
// prints its result. Returns 0.
int RunTclScript(int argc, char* argv[]);
