#include "SchemeRegistration.h"
#include "platform/url_scheme.h"

namespace launcher {

std::string SchemeCommand(const std::string& launcherPath) { return platform::UrlSchemeCommand(launcherPath); }

bool RegisterScheme(const std::string& command) {
    return platform::RegisterUrlScheme("tavlin", "Tavlin Launcher", command);
}

}  // namespace launcher
