// Control messages, cancels and supersedes, and the control-message queue.
//
// Cancels act on the history only: the named article is marked gone, or a
// placeholder makes it refused as already seen when it arrives later. Other
// control messages whose type matches ControlMessagePattern (article.h) are
// written whole to "<ControlQueueDirectory>/<n>.control" (through a
// temporary name and a rename) for the control worker (control/control_queue)
// or, with ProcessControlMessages = 0, a program outside the server.
//
// ProcessControlMessage, WriteControlMessage and CheckSupersedes run under
// csArtFile, held by the acceptance pipeline: the file counter and the
// history changes need no lock of their own.
#pragma once

#include <cstdint>

struct ClientContext;

// Bytes the Xref buffer given to CheckSupersedes must hold, NUL included.
inline constexpr uint32_t kSupersedesXrefSize = 8192;

// Reads ControlQueueDirectory (default "./control"; the directory must
// exist) and starts the file counter at 0. Returns 1.
int ControlMessageInit();

// Acts on the article in `c` whose Control: value (as copied by GetHeader)
// is `controlValue`. Blanks before the word are skipped. "cancel <id>"
// (any case) marks the article gone in history, or adds a placeholder entry
// for an unknown message-ID. Any other value is tested against each pattern
// of ControlMessagePattern in turn; at the first match the article goes to a
// control file (a file that cannot be written is lost silently).
// Returns 0 only for a cancel that names no readable message-ID, else 1.
int ProcessControlMessage(const ClientContext& c, const char* controlValue);

// Writes c.buffer[0, articleLength) to the next unused "%s/%u.control" name
// of the queue directory. 1 when written, else 0.
int WriteControlMessage(const ClientContext& c);

// When HonorSupersedes is on and the article's Supersedes: header names a
// message-ID held in history (other than the article's own, c.articleKey),
// sets *slot to that entry's history slot, fills `xref` (kSupersedesXrefSize
// bytes) with the superseded article's Xref: line from its overview record,
// CR LF included and NUL-terminated, and returns 1. The line is empty when
// the record cannot be read (the article is gone) or does not fit. Else 0,
// and neither out value is touched.
int CheckSupersedes(const ClientContext& c, char* xref, uint32_t* slot);
