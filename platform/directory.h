// Directories of the server's queues: making one, listing the names in one,
// and a private scratch directory for files handed to a helper program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Creates the directory (mode 0755); true when it exists afterwards.
bool MakeDirectory(const char* path);

// Names (not paths) of the regular files in `dir` that end in `suffix`, in
// no particular order. False when the directory cannot be read.
bool ListFiles(const std::string& dir, std::string_view suffix, std::vector<std::string>* names);

// A directory of its own below `parent` (mode 0700) that is removed with
// the files written into it when the object goes away. Empty path() when it
// could not be made.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& parent);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& path() const { return path_; }
    // Writes `text` to the file `name` inside; false on failure.
    bool Write(const std::string& name, std::string_view text);

private:
    std::string path_;
    std::vector<std::string> files_;
};
