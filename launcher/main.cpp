// TavlinLaunch on Linux: the command line a Windows program would see is the
// arguments joined by single spaces. (On Windows wWinMain is the entry.)
#include <string>

#include "VozIradoz.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    std::u16string wide = platform::Utf8ToUtf16(commandLine);
    return wWinMain(nullptr, nullptr, wide.data(), 0);
}
