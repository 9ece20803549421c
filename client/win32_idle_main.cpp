// Stand-in for the client's helper programs ("tavlinCacheAssistant.exe",
// "qelclient.exe") on Windows: does nothing until it is terminated.
#include <windows.h>

int main() {
    for (;;) ::Sleep(INFINITE);
}
