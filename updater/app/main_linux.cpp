#include "app/CmdLineParser.h"
#include "app/UpdaterMain.h"

int main(int argc, char** argv) { return RunUpdater(nullptr, argc, CommandLineFromArgs(argc, argv)); }
