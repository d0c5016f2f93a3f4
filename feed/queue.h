// Outgoing feed queues: which sites get an accepted article, and per site
// the message-IDs waiting in memory and in queue files "<root>/<site>/<n>.qf"
// (records are the ID and a NUL byte), plus the transmit queue of IDs that a
// streaming peer asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ClientContext;
struct Site;

// Reads "FeedQueuePath" (without it nothing is queued) and starts the site
// list. Returns 1.
int FeedInit();

// Stops the I/O library and appends every site's memory queues to its queue
// file, so that a restart offers them. Site locks stay taken. Returns 1.
int FeedShutdown();

// Queues the context's messageId for every site whose feed expression
// matches it, except the sites that offered it themselves. Returns 1.
int EnqueueForOutgoing(ClientContext* context);

// Queues one NUL-ended message-ID of `length` characters for `site`: in
// memory when the site is fed in real time and there is room, else in its
// queue file. 1 queued, 0 failed. Takes csSiteList, so the caller must not
// hold a site lock.
int EnqueueForSite(Site* site, const char* text, uint32_t length);

// Queues the message-ID of a peer's "238" line for sending; 1 queued (or no
// ID in the line), 0 when the transmit queue is full.
int SiteQForTransmit(Site* site, const char* line, uint32_t length);

// With the site's lock held and its article queue empty: loads the next
// chunk of queue records. 1 when the queue holds records, 0 when there is
// nothing to read.
int FeedQueueReadFile(Site* site);

// With the site's lock held: opens the oldest readable queue file of at
// least 4 bytes as readFile (smaller ones are deleted). 1 opened, 0 not
// (also within 300 seconds of a fruitless look).
int FeedQueueOpenFile(Site* site);

// Deletes the oldest queue files of the site while more than maxQFiles + 1
// remain. Returns 1.
int FeedQueuePruneFiles(Site* site);

// The "*.qf" names in `directory`, oldest (lowest number) first.
std::vector<std::string> GetQFileList(const std::string& directory);

// Bytes of message-ID records in the site's queue files not yet read back:
// the files' sizes less what was read of the file being read.
uint64_t QueueBacklogBytes(Site* site);
