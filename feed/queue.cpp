// Outgoing feed queues in memory and in queue files.
// Placeholder: filled in when this module is built.
#include "feed/queue.h"

int FeedInit() { return 1; }
void FeedShutdown() {}
