// Post queue directory and cancel files.
// Placeholder: filled in when this module is built.
#include "nntp/post.h"

int PostInit() { return 1; }
