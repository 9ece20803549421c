// tavlin-pack: builds (and signs) an update package from a tree.
#include <sys/stat.h>

#include <iostream>

#include "packer/OutputFile.h"
#include "packer/PackCommand.h"

int main(int argc, char** argv) {
    using namespace tavlin::packer;
    // Read before any thread starts: umask() can only be read by setting it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    RemoveOutputFilesOnSignals();
    const std::vector<std::string> args(argv + 1, argv + argc);
    bool help = false;
    std::string error;
    const std::optional<PackRequest> request = ParseArguments(args, help, error);
    if (help) {
        std::cout << Usage();
        return kExitOk;
    }
    if (!request) {
        std::cerr << "tavlin-pack: " << error << "\n" << Usage();
        return kExitUsage;
    }
    return RunPack(*request, mask, std::cout, std::cerr);
}
