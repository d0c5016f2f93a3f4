// Program entry, the start-up and closing orders, and the service stand-in.
#pragma once

#include "platform/process.h"

// Program entry (called by main).
int ServiceMain(int argc, char* argv[]);
