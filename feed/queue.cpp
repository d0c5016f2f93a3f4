// Outgoing feed queues in memory and in queue files.
// Placeholder: filled in when this module is built.
#include "feed/queue.h"

#include "corvask/corvask.h"

int FeedInit() { return 1; }

// No connection handler may run once the queues are written out.
void FeedShutdown() { AsyncShutdown(); }
