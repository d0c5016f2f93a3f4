// The control socket: a local stream socket (mode 0600, so only the server's
// own user gets in) on which each request line is one Tcl command, evaluated
// by the start-up script's interpreter on its own thread. verdalixctl speaks
// to it.
//
// Replies are framed so that a client can tell where one ends: each line of
// the result is sent as "OK <line>" (or "ERR <line>" for an error); every
// line but the last has "-" instead of the blank ("OK-first", "OK last"), so
// an empty result is the line "OK ". Line breaks inside the text are the
// only breaks; a CR is sent as a blank.
//
// A request longer than 64 KB without a line end, or one that runs longer
// than ControlTimeLimit seconds, is answered with ERR and its client is cut
// off; the interpreter stops a script at the limit, and a command that does
// not return in time finishes without anyone waiting for it.
#pragma once

#include <string>
#include <string_view>

#include <tcl.h>

// The path the configuration gives: ControlSocket, else verdalix.ctl in
// LogDirectory.
std::string ControlSocketPath();

// Opens the control socket and starts the thread that serves it. A socket
// at the path that a live process serves means another server runs with
// this configuration: that ends this one (FatalExit). Any other failure is
// logged and the server runs without the socket.
void ControlSocketInit();

// From the interpreter thread once the start-up script has run, just before
// its event loop: requests are evaluated in `interp` from then on (until
// then they wait, up to their time limit).
void ControlSocketAttach(Tcl_Interp* interp);

// The framed reply for a result (see above), line end included.
std::string FrameControlReply(bool ok, std::string_view text);
