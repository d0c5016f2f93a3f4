// The checks of `verdalix -check`, each adding the lines of its problems.
#include "server/check.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "control/script_check.h"
#include "platform/file_io.h"
#include "server/accept.h"
#include "server/config.h"

namespace {

// The directories the server writes into; those without a default must be set.
constexpr ConfigKey kDirectories[] = {
    ConfigKey::kGroupDataPath, ConfigKey::kHistoryDataPath,    ConfigKey::kHistoryTablePath,
    ConfigKey::kLogDirectory,  ConfigKey::kPostQueueDirectory, ConfigKey::kControlQueueDirectory,
    ConfigKey::kFeedQueuePath,
};

void CheckDirectories(std::vector<std::string>* problems)
{
    for (ConfigKey key : kDirectories) {
        const char* name = ConfigKeys()[static_cast<size_t>(key)].name;
        const char* path = ConfigText(key);
        if (path == nullptr) {
            if (key != ConfigKey::kFeedQueuePath)  // without it there is no feeding, by design
                problems->push_back(std::string(name) + " is not set");
            continue;
        }
        if (!IsDirectory(path))
            problems->push_back(std::string(name) + " = " + path + ": not a directory");
        else if (!CanWrite(path))
            problems->push_back(std::string(name) + " = " + path + ": not writable");
    }
}

void CheckScript(std::vector<std::string>* problems)
{
    const char* path = ConfigText(ConfigKey::kStartupScript);
    std::ifstream file(path);
    if (!file) {
        problems->push_back(std::string("StartupScript = ") + path + ": cannot be read");
        return;
    }
    std::ostringstream text;
    text << file.rdbuf();
    for (std::string& problem : CheckStartupScript(path, text.str()))
        problems->push_back(std::move(problem));
}

}  // namespace

int RunCheck()
{
    config_init();
    std::vector<std::string> problems = ConfigProblems();
    CheckDirectories(&problems);
    CheckScript(&problems);
    if (std::string listen = CheckListening(); !listen.empty())
        problems.push_back(listen);
    for (const std::string& problem : problems)
        std::printf("%s\n", problem.c_str());
    if (problems.empty())
        std::printf("configuration and start-up script ok\n");
    else
        std::printf("%zu problem%s found\n", problems.size(), problems.size() == 1 ? "" : "s");
    std::fflush(stdout);
    return problems.empty() ? 0 : 1;
}
