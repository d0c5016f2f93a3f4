// Prints verdalix.conf(5); run by the build to make the installed page.
#include <cstdio>

#include "server/config_man.h"

int main()
{
    std::fputs(ConfigManPage().c_str(), stdout);
    return 0;
}
