// verdalix -hash-password: makes the hash of a password for the password
// file.
#pragma once

// Reads a password on standard input (without echo on a terminal) and prints
// its hash and a line end. 0; 1 when no password was given or no hash could
// be made (the reason on standard error).
int RunHashPassword();
