#include "SchemeRegistration.h"
#include "platform/url_scheme.h"

namespace launcher {

std::string SchemeCommand(const std::string& launcherPath) {
    return platform::DesktopExecQuote(launcherPath) + " %u";
}

bool RegisterScheme(const std::string& command) {
    return platform::RegisterUrlScheme("tavlin", "tavlin-launcher.desktop", "Tavlin Launcher", command);
}

}  // namespace launcher
