// A start-up script read without running it, for `verdalix -check`: what
// would make the server start without listening or without its sites.
#pragma once

#include <string>
#include <vector>

// The problems of the script text `text` (from the file `path`, named in
// the lines): a command that does not end, a top-level command the server's
// interpreter does not know (with the nearest server command), a SetSite
// parameter it does not know, no AcceptConnections. Only top-level commands
// are read; procedures the script defines count as known. Empty when none.
std::vector<std::string> CheckStartupScript(const std::string& path, const std::string& text);
