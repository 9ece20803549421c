#include "cycle_fixture.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "calls_file.h"
#include "zip_builder.h"

namespace fs = std::filesystem;

namespace cycle_test {

namespace {

// The programs an installation holds, from the build's bin folder.
const char* const kInstallPrograms[] = {"TavlinLaunch.exe", "TavlinLaunchQuestion.so", "tavlin.exe",
                                        "tavlinCacheAssistant.exe"};
// The updater's work folder as the client prepares it before a run.
const std::pair<const char*, const char*> kWorkFiles[] = {
    {"tavlinUpdater.exe", "Updater.exe"},
    {"zlib.dll", "zlib.dll"},
    {"InstallZebApp.dll", "InstallZebApp.dll"},
};

void CopyProgram(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace

std::string BinDir() {
    const char* fromEnv = std::getenv("TAVLIN_BIN_DIR");
    return fromEnv && *fromEnv ? fromEnv : TAVLIN_BIN_DIR;
}

namespace {

std::string DigestHex(const std::string& path, const EVP_MD* md) {
    std::string data = tavlin_test::ReadFileText(path);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr)) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

}  // namespace

std::string Md5Hex(const std::string& path) { return DigestHex(path, EVP_md5()); }

std::string Sha256Hex(const std::string& path) { return DigestHex(path, EVP_sha256()); }

bool IsTransfer(const download_test::HttpRequest& request) {
    uint64_t first = 0, last = 0;
    // Against an endless file, so an open range counts as large.
    return request.method == "GET" && download_test::AskedRange(request, UINT64_MAX, &first, &last) &&
           last - first + 1 > 1024;
}

std::string WriteStoredPackage(const std::string& zipPath, size_t size, uint32_t seed) {
    tavlin_test::ZipEntry big;
    big.name = "lessons.dat";
    big.data = download_test::Pattern(size, seed);
    big.deflate = false;
    tavlin_test::WriteZip(zipPath, {big});
    return tavlin_test::ReadFileText(zipPath);
}

PackageFiles VersionFiles(const std::string& version) {
    return {{"version.txt", version},
            {"readme.txt", "Welcome to Tavlin " + version + "\n"},
            {"plugins/chat/chat-" + version + ".txt", "chat plugin " + version + "\n"}};
}

void CycleTest::SetUp() {
    if (!tavlin_test::HaveXvfbAndXdotool()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
    // The programs the updater and the launcher start detached end up as our
    // children, so TearDown can reap them.
    tavlin_test::BecomeSubreaper();
    user_ = tavlin_test::MakeUserFolders(tmp_ / "user");
    // A space in the folder name: every path the programs build must survive it.
    install_ = tmp_ / "Tavlin Client";
    fs::create_directories(install_ + "/temp");
    fs::create_directories(tmp_ / "www");
    for (const char* program : kInstallPrograms) {
        std::string from = BinDir() + "/" + program;
        ASSERT_TRUE(fs::exists(from)) << from << " is not built";
        CopyProgram(from, Installed(program));
    }
    for (const auto& [from, to] : kWorkFiles) {
        ASSERT_TRUE(fs::exists(BinDir() + "/" + from)) << from << " is not built";
        CopyProgram(BinDir() + "/" + from, Work(to));
    }
    ASSERT_TRUE(tavlin_test::WriteFileText(Installed("version.txt"), "1.0"));

    // xdg-open stand-in: records the address instead of starting a browser.
    std::string bin = tmp_ / "bin";
    fs::create_directories(bin);
    ASSERT_TRUE(tavlin_test::WriteFileText(
        bin + "/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >>\"" + (tmp_ / "opened-pages") + "\"\n"));
    fs::permissions(bin + "/xdg-open", fs::perms::owner_all);

    env_ = tavlin_test::UserEnvironment(user_, lang_);
    env_.Set("PATH", bin + ":" + env_.Get("PATH"));
    env_.Unset("TAVLIN_OFFSCREEN");
    ASSERT_TRUE(xvfb_.Start()) << xvfb_.error();
    env_.Set("DISPLAY", xvfb_.display());
}

void CycleTest::TearDown() {
    tavlin_test::KillProcessesBelow(tmp_.path());
    if (HasFailure() && std::getenv("TAVLIN_KEEP_TEMP")) {
        tmp_.Keep();
        std::printf("kept %s\n", tmp_.path().c_str());
    }
}

std::string CycleTest::MakePackage(const std::string& zipPath, const PackageFiles& files, bool withClient) {
    tavlin_test::ZipBuilder zip(zipPath);
    for (const auto& [name, data] : files) zip.AddFile(name, data);
    if (withClient) zip.AddFile("tavlin.exe", tavlin_test::ReadFileText(BinDir() + "/tavlin.exe"), 0755);
    zip.Close();
    return Md5Hex(zipPath);
}

ChildProcess CycleTest::StartUpdater(const std::vector<std::string>& args) {
    return StartUpdaterFrom(user_.home, Work("Updater.exe"), args);
}

ChildProcess CycleTest::StartUpdaterFrom(const std::string& cwd, const std::string& program,
                                         const std::vector<std::string>& args) {
    tavlin_test::SpawnOptions options;
    options.argv = {program};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env = env_;
    options.cwd = cwd;
    ChildProcess updater;
    EXPECT_TRUE(updater.Start(options)) << updater.error();
    return updater;
}

ChildProcess CycleTest::StartClient() {
    tavlin_test::SpawnOptions options;
    options.argv = {Installed("tavlin.exe")};
    options.env = env_;
    options.cwd = install_;
    ChildProcess client;
    EXPECT_TRUE(client.Start(options)) << client.error();
    EXPECT_TRUE(tavlin_test::WaitUntil(
        [&] { return tavlin_test::FileExists(user_.runtimeDir + "/VOVAZU_tavlin") || !client.Alive(); },
        kProcessTimeoutMs))
        << "the client did not open its pipe";
    EXPECT_TRUE(client.Alive()) << client.Stderr();
    return client;
}

tavlin_test::RunResult CycleTest::RunLauncher(const std::vector<std::string>& args) {
    std::vector<std::string> argv{Installed("TavlinLaunch.exe")};
    argv.insert(argv.end(), args.begin(), args.end());
    return tavlin_test::Run(argv, env_, kProcessTimeoutMs, user_.home);
}

std::string CycleTest::WaitForClass(const std::string& windowClass, int timeoutSec) {
    auto r = tavlin_test::Run({"timeout", std::to_string(timeoutSec), "xdotool", "search", "--sync", "--onlyvisible",
                               "--class", "^" + windowClass + "$"},
                              env_, (timeoutSec + 5) * 1000);
    if (!r.finished || r.exitCode != 0) return {};
    return r.out.substr(0, r.out.find('\n'));
}

std::vector<std::string> CycleTest::WindowsOfClass(const std::string& windowClass) {
    auto r = tavlin_test::Run({"xdotool", "search", "--onlyvisible", "--class", "^" + windowClass + "$"}, env_, 10000);
    return r.finished ? Lines(r.out) : std::vector<std::string>{};
}

std::string CycleTest::WindowName(const std::string& id) {
    auto r = tavlin_test::Run({"xdotool", "getwindowname", id}, env_, 10000);
    std::string name = r.out;
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

std::pair<int, int> CycleTest::WindowSize(const std::string& id) {
    auto r = tavlin_test::Run({"xdotool", "getwindowgeometry", "--shell", id}, env_, 10000);
    int width = 0, height = 0;
    for (const std::string& line : Lines(r.out)) {
        if (line.rfind("WIDTH=", 0) == 0) width = std::atoi(line.c_str() + 6);
        if (line.rfind("HEIGHT=", 0) == 0) height = std::atoi(line.c_str() + 7);
    }
    return {width, height};
}

bool CycleTest::PressKey(const std::string& id, const std::string& key) {
    return tavlin_test::PressKey(env_, id, key);
}

bool CycleTest::Click(const std::string& id, int x, int y) {
    auto move = tavlin_test::Run(
        {"xdotool", "mousemove", "--sync", "--window", id, std::to_string(x), std::to_string(y)}, env_, 10000);
    auto click = tavlin_test::Run({"xdotool", "click", "1"}, env_, 10000);
    return move.finished && move.exitCode == 0 && click.finished && click.exitCode == 0;
}

Shot CycleTest::Capture(const std::string& id) {
    Shot shot;
    std::string error;
    EXPECT_TRUE(CaptureScreen(xvfb_.display(), std::strtoul(id.c_str(), nullptr, 10), shot, error)) << error;
    return shot;
}

bool CycleTest::WaitForGreen(const std::string& id, int timeoutMs) {
    return tavlin_test::WaitUntil(
        [&] {
            Shot shot;
            std::string error;
            return CaptureScreen(xvfb_.display(), std::strtoul(id.c_str(), nullptr, 10), shot, error) &&
                   CountPixels(shot, IsGreen) > 0;
        },
        timeoutMs, 200);
}

void CycleTest::KeepShot(const Shot& shot, const std::string& name) {
    const char* folder = std::getenv("TAVLIN_CYCLE_SHOTS");
    if (!folder || !*folder) return;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::create_directories(folder);
    SavePng(shot, std::string(folder) + "/" + test->test_suite_name() + "." + test->name() + "-" + name + ".png");
}

std::vector<std::string> CycleTest::Registrations() const {
    return Lines(tavlin_test::ReadFileText(Work("InstallZebApp.registered")));
}

std::string CycleTest::UpdaterLog() const {
    std::string text;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(user_.stateHome, ec))
        if (entry.is_regular_file() && entry.path().extension() == ".log")
            text += tavlin_test::ReadFileText(entry.path().string());
    return text;
}

std::vector<std::string> CycleTest::OpenedPages() const {
    return Lines(tavlin_test::ReadFileText(tmp_ / "opened-pages"));
}

std::vector<std::string> CycleTest::ClientCalls(const std::string& kind) const {
    std::vector<tavlin_client::CallRecord> records;
    // A record caught half-written reads as the end of the file; the next
    // poll sees it whole.
    tavlin_client::ReadCallsFile(Installed("tavlin.calls"), records);
    const tavlin_client::CallKind wanted = kind == "args"   ? tavlin_client::CallKind::Args
                                           : kind == "pipe" ? tavlin_client::CallKind::Pipe
                                                            : tavlin_client::CallKind::Version;
    std::vector<std::string> out;
    for (auto& r : records)
        if (r.kind == wanted) out.push_back(std::move(r.data));
    return out;
}

bool CycleTest::WaitForClientCalls(const std::string& kind, size_t count, int timeoutMs) const {
    return tavlin_test::WaitUntil([&] { return ClientCalls(kind).size() >= count; }, timeoutMs);
}

}  // namespace cycle_test
