// Newsgroups that control messages create and remove. The start-up script
// names the operator's own groups at every start; those that control
// messages made or removed are remembered in "<GroupDataPath>/control.groups"
// (docs/formats.md) so that they stay made or removed after a restart.
#pragma once

#include <string>

// Reads the settings and names again the groups control messages created,
// so that the start-up script's ActiveInit finds them. Call after the group
// database is open and before the start-up script runs.
void ControlGroupsInit();

// Removes again the groups control messages removed that the start-up
// script has named anew. Call once the script has run.
void ControlGroupsReapplyRemovals();

// Creates group `name` with the posting flag `flag` ('y' or 'm') at free
// records of group.dat, with its active file line, a new-groups list entry
// and (when given) its description; of an existing group only the flag and
// description change. True with what was done in *outcome, or false with
// why it failed (nothing changed then).
bool CreateGroupByControl(const std::string& name, char flag, const std::string& description, std::string* outcome);

// Removes group `name`, its active file line and description. True with what
// was done in *outcome (a group not carried is no failure), false with why it
// failed (the group may be gone from the index while its line stays).
bool RemoveGroupByControl(const std::string& name, std::string* outcome);
