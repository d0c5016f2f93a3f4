// Directory creation and listing, and scratch directories.
#include "platform/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/file_io.h"

bool MakeDirectory(const char* path)
{
    if (::mkdir(path, 0755) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool ListFiles(const std::string& dir, std::string_view suffix, std::vector<std::string>* names)
{
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr)
        return false;
    while (const dirent* entry = ::readdir(handle)) {
        std::string_view name(entry->d_name);
        if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix)
            continue;
        struct stat st {};
        std::string path = dir + "/" + entry->d_name;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            names->emplace_back(name);
    }
    ::closedir(handle);
    return true;
}

ScratchDirectory::ScratchDirectory(const std::string& parent)
{
    std::string pattern = parent + "/.scratch-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr)
        path_ = pattern;
}

ScratchDirectory::~ScratchDirectory()
{
    if (path_.empty())
        return;
    for (const std::string& name : files_)
        RemoveFile((path_ + "/" + name).c_str());
    ::rmdir(path_.c_str());
}

bool ScratchDirectory::Write(const std::string& name, std::string_view text)
{
    if (path_.empty())
        return false;
    std::string path = path_ + "/" + name;
    UniqueFd fd = OpenFile(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (!fd)
        return false;
    files_.push_back(name);
    return WriteAll(fd.get(), text.data(), text.size());
}
