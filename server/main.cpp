// verdalix: the news server program.
#include "server/service.h"

int main(int argc, char* argv[]) { return ServiceMain(argc, argv); }
