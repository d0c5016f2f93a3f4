// The consumer of the control-message queue: a worker that takes the
// "<n>.control" files the acceptance pipeline writes, in order, chooses
// the operator's rule for each (control/control_policy.h), checks the
// signature when the rule asks, and acts: newgroup creates or changes a
// group, rmgroup removes one, checkgroups reports the difference in the
// log. A file that was dealt with is removed; one that cannot be read or
// understood, or whose action failed, stays in place with the reason in the
// log and is passed over until the next start.
#pragma once

// Reads the settings (ProcessControlMessages, ControlQueueDirectory,
// ControlPolicyFile, ControlKeyring, GpgvPath), names again the groups that
// control messages created (control/control_groups.h), and unless
// ProcessControlMessages is 0 starts the worker, which waits until the
// start-up script has opened the port and then looks at the queue every
// second. Call after the group database is open, before the start-up script.
void ControlQueueInit();
