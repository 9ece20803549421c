// tavlin-msgbox: shows one message box and prints the answer (1 = OK,
// 2 = Cancel, 0 = no box could be shown).
//   tavlin-msgbox TEXT CAPTION [ok|okcancel]
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "platform/window/message_box.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s TEXT CAPTION [ok|okcancel]\n", argv[0]);
        return 2;
    }
    unsigned type = argc > 3 && std::strcmp(argv[3], "ok") == 0 ? platform::MB_OK : platform::MB_OKCANCEL;
    int answer = platform::MessageBoxW(nullptr, platform::Utf8ToUtf16(argv[1]), platform::Utf8ToUtf16(argv[2]), type);
    std::printf("%d\n", answer);
    std::fflush(stdout);
    return answer == 0 ? 1 : 0;
}
