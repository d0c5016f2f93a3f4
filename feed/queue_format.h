// On-disk layout of the outgoing feed queue files (docs/formats.md):
// "<FeedQueuePath>/<site>/<n>.qf", where n is the scheduler second of the
// file's creation (counted on when that name is taken), so the numbers order
// the files by age. A file is a run of records, each a message-ID's bytes
// followed by one NUL byte; there is no header and no record count.
#pragma once

#include <sys/types.h>

inline constexpr const char* kQueueFileSuffix = ".qf";
inline constexpr char kQueueRecordEnd = '\0';
// Smaller files hold no whole record worth sending: they are deleted unread.
inline constexpr off_t kMinQueueFileSize = 4;
