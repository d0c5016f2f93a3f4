// Outgoing feed queues in memory and in queue files.
#pragma once

int FeedInit();
void FeedShutdown();
