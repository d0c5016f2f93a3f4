// Control messages, cancels and supersedes, and the control-message queue.
// Placeholder: filled in when this module is built.
#include "article/control_message.h"

int ControlMessageInit() { return 1; }
