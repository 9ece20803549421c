// Shows one prompt box and prints the result it was closed with:
//   tavlin-prompt TEXT [MODE [CAPTION]]
// Exit status: the result (1 confirm, 2 cancel or close, 0 otherwise).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "TipsBoxWnd.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s TEXT [MODE [CAPTION]]\n", argv[0]);
        return 64;
    }
    const int mode = argc > 2 ? std::atoi(argv[2]) : 0;
    CTipsBoxWnd box(nullptr, platform::Utf8ToUtf16(argv[1]), mode);
    if (!box.GetHWND()) {
        std::fprintf(stderr, "the prompt box could not be created: %s\n", box.GetLoadError().c_str());
        return 70;
    }
    if (argc > 3 && box.confirmButton) box.confirmButton->SetText(platform::Utf8ToUtf16(argv[3]));
    const unsigned result = box.ShowModal();
    std::printf("result=%u\n", result);
    std::fflush(stdout);
    return static_cast<int>(result);
}
