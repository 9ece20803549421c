// tavlin-xshot: saves what the X server shows of a window (or the whole
// screen) as a PNG, and prints its size and how many pure-green pixels it
// holds (the colour of the progress window's completion line).
//
//   tavlin-xshot OUT.png [WINDOW_ID]     (display: $DISPLAY)
//   prints: <width>x<height> green=<pixels>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "screen_shot.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s OUT.png [WINDOW_ID]\n", argv[0]);
        return 2;
    }
    unsigned long window = 0;
    if (argc == 3) {
        char* end = nullptr;
        window = std::strtoul(argv[2], &end, 0);
        if (!end || *end || window == 0) {
            std::fprintf(stderr, "not a window id: %s\n", argv[2]);
            return 2;
        }
    }
    cycle_test::Shot shot;
    std::string error;
    if (!cycle_test::CaptureScreen({}, window, shot, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (!cycle_test::SavePng(shot, argv[1])) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%dx%d green=%zu\n", shot.width, shot.height, cycle_test::CountPixels(shot, cycle_test::IsGreen));
    return 0;
}
