// Stand-in for the client's helper programs ("tavlinCacheAssistant.exe",
// "qelclient.exe"): does nothing until a signal ends it.
#include <unistd.h>

int main() {
    for (;;) ::pause();
}
