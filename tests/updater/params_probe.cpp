// Runs parseZipConf on its own command line and prints the job record, one
// field a line, so tests can place the program anywhere and read the result.
// The log is not drained here: the process exit must write it out.
#include <cstdio>

#include "app/CmdLineParser.h"
#include "app/StartedFolder.h"
#include "app/UpdaterApp.h"
#include "app/zebUtil.h"

int main(int argc, char** argv) {
    // The program's folder as the updater takes it.
    zeb::UseModuleFolder(StartedFolder(argc > 0 ? argv[0] : nullptr));
    UpdateParams p = parseZipConf(CommandLineFromArgs(argc, argv));
    std::printf("zipUrl=%s\n", p.zipUrl.c_str());
    std::printf("zipPath=%s\n", p.zipPath.c_str());
    std::printf("zipMd5=%s\n", p.zipMd5.c_str());
    std::printf("extractDir=%s\n", p.extractDir.c_str());
    std::printf("launcherPath=%s\n", p.launcherPath.c_str());
    std::printf("relaunch=%d\n", p.relaunch ? 1 : 0);
    std::printf("pageCallParam=%s\n", p.pageCallParam.c_str());
    std::printf("forcedUpdate=%d\n", p.forcedUpdate);
    std::printf("newVersion=%s\n", p.newVersion.c_str());
    std::printf("prompt=%s\n", p.prompt.c_str());
    std::printf("moduleDir=%s\n", zeb::ToNarrow(zeb::GetModuleDir()).c_str());
    std::printf("installDll=%s\n", zeb::ToNarrow(zeb::GetInstallDllPath(zeb::GetModuleDir())).c_str());
    return 0;
}
