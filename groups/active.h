// Active file: the text list of groups with their high and low marks and
// posting flag, mapped so that LIST is served straight from it and each
// group's numbers are rewritten in place in a fixed 21-byte field.
#pragma once

#include <cstdint>

struct Transport;

// (Re)maps the file named by ActiveFile and points every registered group at
// its numbers field; 1, or 0 when the file is not configured or not mappable.
// Runs without keeping users out: use ActiveReload while others may read.
int ActiveInit();
// Waits for the users to leave, holds them off, runs ActiveInit and releases
// them whatever its result; returns that result.
int ActiveReload();
// Runs ActiveReload on a thread of its own and returns at once: 1, or 0
// (reported) when the thread cannot start.
int IndicateActiveReload();
// Writes the group's current numbers and flag into its field; 0 when the
// active file is not in use or the group has no line.
int ActiveUpdate(uint32_t group);
// Sends the file's lines, or with a wildmat (access/wildmat.h) the lines
// whose group names it takes, then ".\r\n". Each group's numbers are its
// current marks, as GROUP shows them, not the file's (which the overview
// rewriter brings up to date later); the file itself is not changed. 0 when
// the file is not in use or a send of the whole list failed.
int ActiveTransmit(const Transport& out, const char* pattern);
// Appends a new group's line with `start` as both marks; 0 when ActiveFile is
// not configured or cannot be opened.
int AddActive(const char* name, uint32_t start, const char* post);
// Removes the lines of group `name` from the file and maps it again, with
// the users held off meanwhile. 1 when lines went, 0 when the group had
// none (or ActiveFile is not configured), -1 when the file could not be
// rewritten (it is left as it was).
int RemoveActive(const char* name);
