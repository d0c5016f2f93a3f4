// List of newly created groups, for NEWGROUPS.
#pragma once

int NewgroupsInit();
