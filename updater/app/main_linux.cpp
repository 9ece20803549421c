#include "app/CmdLineParser.h"
#include "app/StartedFolder.h"
#include "app/UpdaterMain.h"
#include "app/zebUtil.h"

int main(int argc, char** argv) {
    zeb::UseModuleFolder(StartedFolder(argc > 0 ? argv[0] : nullptr));
    return RunUpdater(nullptr, argc, CommandLineFromArgs(argc, argv));
}
