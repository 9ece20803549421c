// The launcher with no client running: it registers the URL scheme, applies
// a pending package, starts the client with the URL's parameters and logs.
#include <sys/stat.h>

#include <filesystem>
#include <utility>

#include "launcher_fixture.h"

namespace fs = std::filesystem;
using tavlin_test::FileExists;
using tavlin_test::ReadFileText;
using tavlin_test::WriteFileText;

namespace tavlin_e2e {
namespace {

constexpr const char* kQuotedLink = "\"tavlin://room?id=7\"";

TEST_F(LauncherTest, StartRoadRegistersSchemeLogsAndStartsClient) {
    RunResult r = RunLauncher({kQuotedLink});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.err;

    // The client runs from the installation with the parameter text, which
    // keeps the closing quote of the shell's command template.
    ASSERT_TRUE(WaitForCalls("args", 1)) << "the client was not started";
    EXPECT_EQ(CallsOf("args").front().data, "/room?id=7\"");

    EXPECT_EQ(LogRecords(r.err),
              (std::vector<std::string>{"class path: tavlin.exe", "par: /room?id=7\""}))
        << r.err;

    const std::string entry = user_.dataHome + "/applications/tavlin-launcher.desktop";
    ASSERT_TRUE(FileExists(entry));
    RunResult valid = tavlin_test::Run({"desktop-file-validate", entry}, env_, kProcessTimeoutMs);
    EXPECT_EQ(valid.exitCode, 0) << valid.out << valid.err;
    EXPECT_EQ(valid.out, "") << "validator warnings";
    const std::string text = ReadFileText(entry);
    EXPECT_EQ(KeyValue(text, "MimeType"), "x-scheme-handler/tavlin;") << text;
    const std::string exec = KeyValue(text, "Exec");
    EXPECT_NE(exec.find(Installed("TavlinLaunch.exe")), std::string::npos) << text;
    EXPECT_NE(exec.find("%u"), std::string::npos) << text;

    RunResult query = tavlin_test::Run({"xdg-mime", "query", "default", "x-scheme-handler/tavlin"},
                                       env_, kProcessTimeoutMs);
    EXPECT_EQ(query.out, "tavlin-launcher.desktop\n") << query.err;
}

// After one start, a link opened the desktop's way (GIO, as a GNOME browser
// does) reaches the launcher through the registration, even from a folder
// whose name has a space, and the client gets the bare link's parameters.
// (xdg-open's own fallback cannot be used: it splits Exec at spaces and
// ignores quoting.)
TEST_F(LauncherTest, RegisteredHandlerStartsLauncherForOpenedLink) {
    ASSERT_EQ(RunLauncher({}).exitCode, 0);
    ASSERT_TRUE(WaitForCalls("args", 1));
    StopClients();

    if (tavlin_test::FindProgram("gio").empty()) GTEST_SKIP() << "gio is not installed";
    RunResult open = tavlin_test::Run({"gio", "open", "tavlin://room?id=5&seat=3"}, env_,
                                      kProcessTimeoutMs, user_.home);
    ASSERT_TRUE(open.finished);
    EXPECT_EQ(open.exitCode, 0) << open.out << open.err;
    ASSERT_TRUE(WaitForCalls("args", 2)) << "the link did not reach the launcher: " << open.err;
    EXPECT_EQ(CallsOf("args").back().data, "/room?id=5&seat=3");
}

// A registration that changed is rewritten, and other handlers in
// mimeapps.list are kept.
TEST_F(LauncherTest, RegistrationIsRewrittenAndKeepsOtherHandlers) {
    const std::string mimeapps = user_.configHome + "/mimeapps.list";
    WriteFileText(mimeapps,
                  "[Default Applications]\n"
                  "x-scheme-handler/tavlin=someone-else.desktop\n"
                  "text/plain=editor.desktop\n");
    const std::string entry = user_.dataHome + "/applications/tavlin-launcher.desktop";
    WriteFileText(entry, "stale");

    ASSERT_EQ(RunLauncher({}).exitCode, 0);

    std::string list = ReadFileText(mimeapps);
    EXPECT_NE(list.find("x-scheme-handler/tavlin=tavlin-launcher.desktop"), std::string::npos) << list;
    EXPECT_EQ(list.find("someone-else.desktop"), std::string::npos) << list;
    EXPECT_NE(list.find("text/plain=editor.desktop"), std::string::npos) << list;
    EXPECT_NE(ReadFileText(entry).find("[Desktop Entry]"), std::string::npos);
}

// Identity of a file: a rewrite renames a new one over it.
std::pair<ino_t, int64_t> Stamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {0, 0};
    return {st.st_ino, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// Every start registers the scheme, but a registration that holds is not
// written again; a launcher that moved registers its new path.
TEST_F(LauncherTest, RegistrationIsWrittenOnlyWhenItChanged) {
    const std::string entry = user_.dataHome + "/applications/tavlin-launcher.desktop";
    const std::string mimeapps = user_.configHome + "/mimeapps.list";
    ASSERT_EQ(RunLauncher({}).exitCode, 0);
    ASSERT_TRUE(WaitForCalls("args", 1));
    StopClients();
    const auto entryStamp = Stamp(entry), listStamp = Stamp(mimeapps);
    ASSERT_NE(entryStamp.first, 0u);

    ASSERT_EQ(RunLauncher({}).exitCode, 0);
    ASSERT_TRUE(WaitForCalls("args", 2));
    StopClients();
    EXPECT_EQ(Stamp(entry), entryStamp);
    EXPECT_EQ(Stamp(mimeapps), listStamp);

    const std::string moved = Scratch("Moved Client");
    fs::copy(install(), moved, fs::copy_options::recursive);
    RunResult r = tavlin_test::Run({moved + "/TavlinLaunch.exe"}, env_, kProcessTimeoutMs, user_.home);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    tavlin_test::KillProcessesBelow(moved);
    EXPECT_NE(Stamp(entry), entryStamp);
    EXPECT_NE(KeyValue(ReadFileText(entry), "Exec").find(moved + "/TavlinLaunch.exe"), std::string::npos);
    EXPECT_EQ(Stamp(mimeapps), listStamp) << "the default handler was already ours";
}

// The launcher's own start does not load the window system: the question
// box, and X11, cairo and pango with it, is loaded only to ask.
TEST_F(LauncherTest, LauncherNeedsNoWindowSystemLibraries) {
    if (tavlin_test::FindProgram("readelf").empty()) GTEST_SKIP() << "readelf is not installed";
    RunResult r = tavlin_test::Run({"readelf", "-d", Installed("TavlinLaunch.exe")}, env_, kProcessTimeoutMs);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_NE(r.out.find("(NEEDED)"), std::string::npos) << r.out;
    for (const char* library : {"libX11", "libcairo", "libpango", "libgobject", "libglib", "libfontconfig"})
        EXPECT_EQ(r.out.find(library), std::string::npos) << library << " is needed:\n" << r.out;
}

// Without its question box the launcher still starts the client when none
// runs; with a client running it cannot ask, says so, and keeps that client
// (the box could not be shown, as without a display).
TEST_F(LauncherTest, MissingQuestionBoxKeepsTheRunningClient) {
    fs::remove(Installed("TavlinLaunchQuestion.so"));
    RunResult r = RunLauncher({"tavlin://abc"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(WaitForCalls("args", 1));
    EXPECT_EQ(LogRecords(r.err), (std::vector<std::string>{"class path: tavlin.exe", "par: /abc"}));
    StopClients();

    ChildProcess client = StartServingClient();
    r = RunLauncher({"tavlin://def"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(WaitForCalls("pipe", 1));
    EXPECT_EQ(CallsOf("pipe").front().data, std::string("/def") + '\0');
    const auto records = LogRecords(r.err);
    ASSERT_EQ(records.size(), 1u) << r.err;
    EXPECT_TRUE(records[0].starts_with("cannot ask whether to start a new client: ")) << records[0];
    EXPECT_NE(records[0].find("TavlinLaunchQuestion.so"), std::string::npos) << records[0];
    EXPECT_TRUE(client.Alive());
}

// A client that cannot be started is logged; the exit code stays 0.
TEST_F(LauncherTest, ClientThatCannotStartIsLogged) {
    fs::remove(Installed("tavlin.exe"));
    RunResult r = RunLauncher({"tavlin://abc"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(LogRecords(r.err), (std::vector<std::string>{"class path: tavlin.exe", "par: /abc",
                                                           "cannot start tavlin.exe: No such file or directory"}));
}

// What the client receives for a given command line.
struct ParameterCase {
    const char* name;
    std::vector<std::string> args;
    std::string expected;
};

void PrintTo(const ParameterCase& c, std::ostream* os) { *os << c.name; }

class StartRoadParameters : public LauncherTest,
                            public ::testing::WithParamInterface<ParameterCase> {};

TEST_P(StartRoadParameters, ClientGetsParameterText) {
    RunResult r = RunLauncher(GetParam().args);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(WaitForCalls("args", 1));
    EXPECT_EQ(CallsOf("args").front().data, GetParam().expected);
    auto records = LogRecords(r.err);
    ASSERT_EQ(records.size(), 2u) << r.err;
    EXPECT_EQ(records[1], "par: " + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, StartRoadParameters,
    ::testing::Values(
        ParameterCase{"Bare", {"tavlin://abc"}, "/abc"},
        ParameterCase{"Quoted", {"\"tavlin://abc\""}, "/abc\""},
        // Only the exact lower-case scheme counts; otherwise the whole line.
        ParameterCase{"Capitals", {"TAVLIN://abc"}, "TAVLIN://abc"},
        ParameterCase{"NoLink", {"-x", "y"}, "-x y"},
        ParameterCase{"Empty", {}, ""},
        // Everything after the first link, later words included.
        ParameterCase{"LinkInMiddle", {"-a", "tavlin://r?x=1&y=2", "tail"}, "/r?x=1&y=2 tail"},
        ParameterCase{"NonAscii", {"tavlin://课堂?name=李"}, "/课堂?name=李"}),
    [](const auto& info) { return std::string(info.param.name); });

// Another user's "tavlin.exe" on a shared machine is not the user's client:
// no question, not terminated.
TEST_F(LauncherTest, AnotherUsersClientIsNotTheUsers) {
    ChildProcess theirs = StartOtherUsersSleeper("tavlin.exe");
    if (!theirs.running()) GTEST_SKIP() << "cannot run a process as another user here";
    // No display: had the launcher asked, it could not have shown the box
    // and would have taken the hand-over road instead.
    RunResult r = RunLauncher({"tavlin://abc"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(WaitForCalls("args", 1));
    EXPECT_EQ(CallsOf("args").front().data, "/abc");
    EXPECT_TRUE(theirs.Alive());
}

// A process whose name differs from the client's only in case is someone
// else's: no question, not terminated.
TEST_F(LauncherTest, ProcessNamedInOtherCaseIsNotTheClient) {
    ChildProcess other = StartSleeper("Tavlin.exe");
    // No display: had the launcher asked, it could not have shown the box
    // and would have taken the hand-over road instead.
    RunResult r = RunLauncher({"tavlin://abc"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(WaitForCalls("args", 1));
    EXPECT_EQ(CallsOf("args").front().data, "/abc");
    EXPECT_TRUE(other.Alive());
}

}  // namespace
}  // namespace tavlin_e2e

namespace tavlin_e2e {
namespace {

// The client gets the link's text as it came; the log shows its control
// characters escaped, so a link cannot forge a record.
TEST_F(LauncherTest, ALinkCannotForgeALogRecord) {
    RunResult r = RunLauncher({"tavlin://x\n[ORB][I][2026-01-01 00:00:00] update installed"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(WaitForCalls("args", 1));
    EXPECT_EQ(CallsOf("args").front().data, "/x\n[ORB][I][2026-01-01 00:00:00] update installed");
    EXPECT_EQ(LogRecords(r.err), (std::vector<std::string>{
                                     "class path: tavlin.exe",
                                     "par: /x\\x0a[ORB][I][2026-01-01 00:00:00] update installed"}));
}

}  // namespace
}  // namespace tavlin_e2e
