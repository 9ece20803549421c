#include "app/UpdaterApp.h"

#include <limits>

#include "app/CmdLineParser.h"
#include "app/PathSeparators.h"
#include "app/zebUtil.h"
#include "log/FileLogger.h"

namespace {

std::u16string ValueOf(const CCmdLineParser& parser, std::u16string_view key) {
    const std::u16string* value = parser.GetValue(key);
    return value ? *value : std::u16string();
}

// Text up to, not including, the last separator; empty without one.
std::u16string_view BeforeLastSlash(std::u16string_view text) {
    size_t slash = text.find_last_of(kPathSeparators);
    return slash == std::u16string_view::npos ? std::u16string_view() : text.substr(0, slash);
}

// Text up to and including the last separator; empty without one.
std::u16string_view ThroughLastSlash(std::u16string_view text) {
    size_t slash = text.find_last_of(kPathSeparators);
    return slash == std::u16string_view::npos ? std::u16string_view() : text.substr(0, slash + 1);
}

bool IsCrtSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

}  // namespace

int32_t ReadDecimal(std::u16string_view text) {
    size_t i = 0;
    while (i < text.size() && IsCrtSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    const int64_t limit = negative ? -int64_t{std::numeric_limits<int32_t>::min()}
                                   : int64_t{std::numeric_limits<int32_t>::max()};
    int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = std::min(value * 10 + (text[i] - u'0'), limit);
    }
    return static_cast<int32_t>(negative ? -value : value);
}

void FillJobPaths(UpdateParams& params, std::u16string_view moduleDir) {
    std::u16string_view withoutSlash = BeforeLastSlash(moduleDir);  // .../temp
    std::u16string_view parent = ThroughLastSlash(withoutSlash);     // .../B/
    std::u16string_view grandparent = ThroughLastSlash(BeforeLastSlash(withoutSlash));

    params.zipPath = zeb::ToNarrow(std::u16string(moduleDir) + u"update.zip");
    params.extractDir = zeb::ToNarrow(grandparent);
    params.launcherPath = zeb::ToNarrow(std::u16string(parent) + u"TavlinLaunch.exe");
}

UpdaterApp::UpdaterApp(void* instance, int argCount) : moduleInstance(instance), argCount_(argCount) {}

bool UpdaterApp::Init() {
    // Without a runtime folder there is no lock file to wait for: the run
    // goes on, as it does after a failed wait.
    if (autoUpdate_.Create(kAutoUpdateMutexName) && !autoUpdate_.Acquire(kAutoUpdateWaitMs)) return false;

    // A lock that cannot be taken at once is owned by another process.
    guardMutex = std::make_unique<platform::NamedMutex>();
    if (guardMutex->Create(kGuardMutexName) && !guardMutex->Acquire(0)) return false;
    return argCount_ > 1;
}

UpdateParams parseZipConf(std::u16string_view cmdLine) {
    CCmdLineParser parser(cmdLine);
    const std::u16string url = ValueOf(parser, u"url");
    const std::u16string md5 = ValueOf(parser, u"md5");
    const std::u16string pageCallParam = ValueOf(parser, u"pagecallparam");
    const std::u16string forcedUpdate = ValueOf(parser, u"forcedupdate");
    const std::u16string newVersion = ValueOf(parser, u"newver");
    const std::u16string prompt = ValueOf(parser, u"prompt");
    const std::u16string sha256 = ValueOf(parser, u"sha256");
    const std::u16string signature = ValueOf(parser, u"sig");

    FileLogger* log = FileLogger::Instance();
    log->Open("zebUpdater");
    log->maxLevel = 0;
    log->exactLevel = -1;
    UPDATER_LOG(0, "ZipUrl : %s zipMd5 : %s pageCallParam : %s forcedupdate : %s\n",
                zeb::ToNarrow(url).c_str(), zeb::ToNarrow(md5).c_str(),
                zeb::ToNarrow(pageCallParam).c_str(), zeb::ToNarrow(forcedUpdate).c_str());
    // A job without the optional checks logs exactly as before.
    if (!sha256.empty() || !signature.empty())
        UPDATER_LOG(0, "zipSha256 : %s sig : %s\n", zeb::ToNarrow(sha256).c_str(), zeb::ToNarrow(signature).c_str());

    UpdateParams params;
    params.zipMd5 = zeb::ToNarrow(md5);
    // Appended whatever the url holds: an address with its own query gets a
    // second "?".
    params.zipUrl = zeb::ToNarrow(url) + "?" + params.zipMd5;
    params.pageCallParam = zeb::ToNarrow(pageCallParam);
    params.relaunch = true;
    FillJobPaths(params, zeb::GetModuleDir());
    params.forcedUpdate = ReadDecimal(forcedUpdate);
    params.newVersion = zeb::ToNarrow(newVersion);
    params.prompt = zeb::ToNarrow(prompt);
    params.zipSha256 = zeb::ToNarrow(sha256);
    params.zipSignature = zeb::ToNarrow(signature);
    return params;
}
