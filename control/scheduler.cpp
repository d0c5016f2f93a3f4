// One-second callback scheduler.
// Placeholder: filled in when this module is built.
#include "control/scheduler.h"

int SchedCallbackInit() { return 1; }
