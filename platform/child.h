// Child processes of the server: a shell command started in a session of its
// own on given descriptors, its end awaited or forced; and the commands the
// service installer runs, with their exit status or first line of output.
#pragma once

#include <sys/types.h>

#include <string>

// Starts "/bin/sh -c <command>" in a new session with `input` as standard
// input and `output` as standard output and error, no other descriptor
// open; its process ID, or -1.
pid_t StartShellCommand(const char* command, int input, int output);

// Whether the child has ended (it is reaped then); does not wait.
bool ChildEnded(pid_t pid);

// Kills the child's whole session and the child, and reaps it.
void KillChildSession(pid_t pid);

// Runs the shell command and waits for it: its status as system() gives it.
int RunCommand(const char* command);

// The first line the shell command writes, without its line end; empty when
// it writes nothing or cannot run.
std::string CommandOutputLine(const char* command);
