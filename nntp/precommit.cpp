// Precommit table: streamed offers in flight and the peers that made them.
// Placeholder: filled in when this module is built.
#include "nntp/precommit.h"

int PrecommitInit() { return 1; }
