// Post injection: every post file of the post queue becomes an article. The
// injector thread takes each file as soon as the posting connection has
// written it (and, at start-up, every file left from before), checks it
// again, completes its header as an injecting agent does (RFC 5537: Path,
// Message-ID, Date, Injection-Date, Injection-Info) and hands it to the
// acceptance pipeline like a fed article. The file goes only once the
// article is stored or definitively refused: refused posts move to bad/,
// posts for a moderated group without Approved: to moderation/<group>/.
#pragma once

#include <cstddef>

#include "server/client_context.h"

// Remembers the post queue directory and reads HostPathIdentifier and
// MessageIdDomain (default: the HostPathIdentifier). Called once at start-up
// when posts are injected; 1, or 0 when no valid Message-ID domain results.
int InjectorInit(const char* postDirectory);

// Once the start-up script has named the stores and groups: lists the post
// files already queued and starts the injector thread on them. Does nothing
// when InjectorInit has not run.
void InjectorStart();

// The post file `name` (a name in the post directory) is complete: the
// injector takes it next.
void InjectorQueued(const char* name);

// A spare file of the post directory (one an injected post left), its path
// in `path`, now the caller's to rewrite and rename to a post name or to
// delete; 0 when there is none.
int InjectorTakeSpare(char (&path)[4096]);

// A new Message-ID for a post, "<time.count.salt@domain>": the salt is
// random per process, so IDs stay unique across restarts. Its length.
size_t NewPostMessageId(char (&out)[kMessageIdSize]);
