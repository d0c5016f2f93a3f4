// External article filter process.
// Placeholder: filled in when this module is built.
#include "access/filter.h"

int ExternalFilterInit() { return 1; }
void filterclose() {}
