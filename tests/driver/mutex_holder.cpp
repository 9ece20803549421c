// Holds a named mutex for the updater's process tests:
//   tavlin-mutex-holder NAME SECONDS
// Prints "held" once it has the mutex, keeps it for SECONDS (fractions
// allowed), then lets go and exits 0. Exit 1 when the mutex cannot be taken
// within 10 s, 64 for a bad command line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/named_mutex.h"

int main(int argc, char** argv) {
    char* end = nullptr;
    const double seconds = argc == 3 ? std::strtod(argv[2], &end) : -1;
    if (argc != 3 || end == argv[2] || *end != '\0' || seconds < 0) {
        std::fprintf(stderr, "usage: %s NAME SECONDS\n", argc > 0 ? argv[0] : "tavlin-mutex-holder");
        return 64;
    }
    platform::NamedMutex mutex;
    if (!mutex.Create(argv[1]) || !mutex.Acquire(10000)) {
        std::fprintf(stderr, "cannot take the mutex %s\n", argv[1]);
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    mutex.Release();
    return 0;
}
