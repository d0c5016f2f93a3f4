// Control messages, cancels and supersedes, and the control-message queue.
#pragma once

// Sets up the control-message queue directory. Returns 1.
int ControlMessageInit();
