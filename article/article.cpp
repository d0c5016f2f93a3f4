// Article acceptance: the module's settings and the insertion pipeline.
#include "article/article.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "article/control_message.h"
#include "groups/groupdb.h"
#include "server/config.h"
#include "server/log.h"

int logFilterRejects = 0;
int honorSupersedes = 1;
const char* my_path_name = "";
uint32_t my_path_name_len = 0;
int MaxArticleAge = 7;
int slaveMode = 0;
int transitMode = 0;
const char* ControlMessagePattern = "newgroup*,rmgroup*,checkgroups*";

namespace {

void ReadPathName()
{
    const char* identifier = GetConfigString("HostPathIdentifier");
    if (identifier == nullptr) {
        std::printf("no HostPathIdentifier specified, exiting\n");
        std::fflush(stdout);
        std::exit(1);
    }
    size_t length = std::strlen(identifier);
    auto* name = static_cast<char*>(std::malloc(length + 2));  // lives for the process
    std::memcpy(name, identifier, length);
    std::memcpy(name + length, "!", 2);
    my_path_name = name;
    my_path_name_len = static_cast<uint32_t>(length + 1);
}

void ReadOpMode()
{
    const char* mode = GetConfigString("OpMode");
    if (mode == nullptr)
        return;
    if (strcasecmp(mode, "slave") == 0) {
        slaveMode = 1;
        LogLine("started in slave mode");
    } else if (strcasecmp(mode, "transit") == 0) {
        transitMode = 1;
        LogLine("started in transit mode");
    } else {
        LogLine("started in regular reader mode (not slave, not transit)");
    }
}

}  // namespace

int ArticleInit()
{
    csArtFile();
    GetConfigInt("LogFilterRejects", &logFilterRejects);
    GetConfigInt("HonorSupersedes", &honorSupersedes);
    ReadPathName();
    GetConfigInt("MaxArticleAge", &MaxArticleAge);
    ReadOpMode();
    // Nothing works without the group database: stop here (GroupInit logged why).
    if (!GroupInit()) {
        LogLine("group database not opened, exiting");
        std::printf("group database not opened, exiting\n");
        std::fflush(stdout);
        std::exit(1);
    }
    ControlMessageInit();
    if (const char* patterns = GetConfigString("ControlMessagePatterns"))
        ControlMessagePattern = patterns;
    return 1;
}
