// Line-by-line reading of a text file through the file-I/O layer, in large
// blocks, for the files the server reads as lines (new-groups list, cancel
// files).
#pragma once

#include <cstddef>
#include <vector>

class LineReader {
public:
    // Reads from `fd` (which stays the caller's). Lines longer than
    // `maxLine` bytes are cut there and the rest of them passed over.
    LineReader(int fd, size_t maxLine);

    // Copies the next line without its LF (or CR LF) into `line`, which
    // holds maxLine + 1 bytes, NUL-terminated; false at the end of the file
    // or on a read error. A last line without a line end still counts.
    bool Next(char* line);

private:
    bool Fill();

    int fd_;
    size_t maxLine_;
    std::vector<char> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
    bool atEnd_ = false;
    bool skipping_ = false;  // passing over the rest of a cut line
};
