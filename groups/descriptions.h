// Group descriptions: the file named by GroupDescriptionsFile, one line per
// group, "name" TAB "description" (the control worker keeps it in step
// with newgroup and rmgroup; the operator may edit it). It is read by
// each LIST NEWSGROUPS on the connection's own thread, never held.
#pragma once

struct ClientContext;

// "215", the lines of the groups whose names the wildmat `pattern` takes
// (null: every one), then ".". Lines without a name are left out; without
// the setting or the file the list is empty.
int TransmitDescriptions(ClientContext* ctx, const char* pattern);
