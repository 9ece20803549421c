#include "platform/url_scheme.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

#include "child_process.h"
#include "temp_dir.h"
#include "user_env.h"

namespace {

namespace fs = std::filesystem;
using tavlin_test::Environment;
using tavlin_test::ReadFileText;

constexpr const char* kId = "tavlin-launcher.desktop";

struct QuoteCase {
    const char* arg;
    const char* quoted;
};

void PrintTo(const QuoteCase& c, std::ostream* os) { *os << c.arg; }

class ExecQuote : public testing::TestWithParam<QuoteCase> {};

TEST_P(ExecQuote, QuotesOneArgument) { EXPECT_EQ(platform::DesktopExecQuote(GetParam().arg), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(Cases, ExecQuote,
                         testing::Values(QuoteCase{"/opt/tavlin/TavlinLaunch.exe", "\"/opt/tavlin/TavlinLaunch.exe\""},
                                         QuoteCase{"/a b/c", "\"/a b/c\""},
                                         QuoteCase{"/x\"y", "\"/x\\\"y\""},
                                         QuoteCase{"/$HOME/`id`", "\"/\\$HOME/\\`id\\`\""},
                                         QuoteCase{"/back\\slash", "\"/back\\\\slash\""},
                                         QuoteCase{"/100%u", "\"/100%%u\""},
                                         QuoteCase{"/安装/程序", "\"/安装/程序\""},
                                         QuoteCase{"", "\"\""}),
                         [](const testing::TestParamInfo<QuoteCase>& i) { return "case" + std::to_string(i.index); });

// A throw-away user whose XDG folders this process and its children use.
class UrlScheme : public testing::Test {
protected:
    void SetUp() override {
        user_ = tavlin_test::MakeUserFolders(dir_.path());
        env_ = tavlin_test::UserEnvironment(user_);
        for (const char* var : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
            const char* old = std::getenv(var);
            saved_.emplace_back(var, old ? old : "");
            ::setenv(var, env_.Get(var).c_str(), 1);
        }
    }
    void TearDown() override {
        for (auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
    }

    std::string DesktopFile() const { return user_.dataHome + "/applications/" + kId; }
    std::string MimeApps() const { return user_.configHome + "/mimeapps.list"; }

    // Runs a tool of the desktop; empty optional-style: skip when missing.
    tavlin_test::RunResult RunTool(std::vector<std::string> argv) {
        return tavlin_test::Run(argv, env_, 20000);
    }

    tavlin_test::TempDir dir_;
    tavlin_test::UserFolders user_;
    Environment env_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(UrlScheme, EntryIsValidAndDefaultForTheScheme) {
    // Every character the two escaping layers care about.
    std::string launcher = dir_ / "in \"st\" $dir\\x/TavlinLaunch.exe";
    std::string exec = platform::DesktopExecQuote(launcher) + " %u";
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin launcher", exec));

    std::string entry = ReadFileText(DesktopFile());
    EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(entry.find("\nMimeType=x-scheme-handler/tavlin;\n"), std::string::npos);
    EXPECT_NE(entry.find("\nExec=\"" + dir_.path() + "/in \\\\\"st\\\\\" \\\\$dir\\\\\\\\x/TavlinLaunch.exe\" %u\n"),
              std::string::npos)
        << entry;

    if (tavlin_test::FindProgram("desktop-file-validate").empty()) GTEST_SKIP() << "desktop-file-validate missing";
    tavlin_test::RunResult v = RunTool({"desktop-file-validate", DesktopFile()});
    EXPECT_TRUE(v.finished && v.exitCode == 0) << v.out << v.err;

    if (!tavlin_test::FindProgram("update-desktop-database").empty()) {
        // The cache is refreshed by a tool that is started, not waited for.
        EXPECT_TRUE(tavlin_test::WaitUntil(
            [&] {
                return ReadFileText(user_.dataHome + "/applications/mimeinfo.cache")
                           .find(std::string("x-scheme-handler/tavlin=") + kId + ";") != std::string::npos;
            },
            10000));
    }

    if (tavlin_test::FindProgram("xdg-mime").empty()) GTEST_SKIP() << "xdg-mime missing";
    tavlin_test::RunResult q = RunTool({"xdg-mime", "query", "default", "x-scheme-handler/tavlin"});
    EXPECT_EQ(q.out, std::string(kId) + "\n") << q.err;
}

TEST_F(UrlScheme, OpeningALinkStartsTheRegisteredProgram) {
    if (tavlin_test::FindProgram("gio").empty()) GTEST_SKIP() << "gio missing";
    std::string folder = dir_ / "odd \"folder\" $x `y`";
    fs::create_directories(folder);
    std::string program = folder + "/Tavlin Launch.sh";
    std::string seen = dir_ / "seen.txt";
    tavlin_test::WriteFileText(program, "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" + seen + ".tmp' && mv '" +
                                            seen + ".tmp' '" + seen + "'\n");
    fs::permissions(program, fs::perms::owner_all);
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", platform::DesktopExecQuote(program) + " %u"));

    tavlin_test::RunResult r = RunTool({"gio", "open", "tavlin://room?id=7&n=a b"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return tavlin_test::FileExists(seen); }, 10000)) << r.err;
    EXPECT_EQ(ReadFileText(seen), "1|tavlin://room?id=7&n=a b");
}

TEST_F(UrlScheme, ExistingMimeappsListKeepsItsOtherLines) {
    fs::create_directories(user_.configHome);
    const std::string before =
        "# my settings\n"
        "[Added Associations]\n"
        "x-scheme-handler/tavlin=old.desktop;\n"
        "text/plain=gedit.desktop;\n"
        "\n"
        "[Default Applications]\n"
        "text/html=firefox.desktop\n"
        "x-scheme-handler/tavlin = old.desktop\n"
        "x-scheme-handler/tavlinx=other.desktop\n"
        "\n"
        "[Removed Associations]\n"
        "image/png=eog.desktop;\n";
    ASSERT_TRUE(tavlin_test::WriteFileText(MimeApps(), before));
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", "\"/opt/t/TavlinLaunch.exe\" %u"));

    std::string after = before;
    after.replace(after.find("x-scheme-handler/tavlin = old.desktop"), 37,
                  std::string("x-scheme-handler/tavlin=") + kId);
    EXPECT_EQ(ReadFileText(MimeApps()), after);

    // Running again changes nothing (the launcher registers on every start).
    std::string entry = ReadFileText(DesktopFile());
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", "\"/opt/t/TavlinLaunch.exe\" %u"));
    EXPECT_EQ(ReadFileText(MimeApps()), after);
    EXPECT_EQ(ReadFileText(DesktopFile()), entry);
}

// Identity of a file: a rewrite renames a new file over it, so the inode
// changes even within one clock tick.
struct FileStamp {
    ino_t inode = 0;
    timespec mtime{};
    bool operator==(const FileStamp& o) const {
        return inode == o.inode && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileStamp Stamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {st.st_ino, st.st_mtim};
}

// The launcher registers on every start: a registration that already holds
// is left alone (no write, no cache refresh); a changed one is written.
TEST_F(UrlScheme, OnlyWhatChangedIsWritten) {
    const std::string exec = "\"/opt/t/TavlinLaunch.exe\" %u";
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", exec));
    const FileStamp entry = Stamp(DesktopFile()), list = Stamp(MimeApps());
    ASSERT_NE(entry.inode, 0u);
    ASSERT_NE(list.inode, 0u);

    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", exec));
    EXPECT_EQ(Stamp(DesktopFile()), entry);
    EXPECT_EQ(Stamp(MimeApps()), list);

    // The launcher moved: a new entry, the same default.
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", "\"/new/TavlinLaunch.exe\" %u"));
    EXPECT_FALSE(Stamp(DesktopFile()) == entry);
    EXPECT_NE(ReadFileText(DesktopFile()).find("\nExec=\"/new/TavlinLaunch.exe\" %u\n"), std::string::npos);
    EXPECT_EQ(Stamp(MimeApps()), list);

    // Someone else took the scheme: the default is ours again.
    ASSERT_TRUE(tavlin_test::WriteFileText(MimeApps(), "[Default Applications]\nx-scheme-handler/tavlin=x.desktop\n"));
    const FileStamp taken = Stamp(MimeApps());
    const FileStamp moved = Stamp(DesktopFile());
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", "\"/new/TavlinLaunch.exe\" %u"));
    EXPECT_EQ(ReadFileText(MimeApps()), std::string("[Default Applications]\nx-scheme-handler/tavlin=") + kId + "\n");
    EXPECT_FALSE(Stamp(MimeApps()) == taken);
    EXPECT_EQ(Stamp(DesktopFile()), moved);
}

TEST_F(UrlScheme, MissingGroupIsAddedAndNoTemporaryFilesRemain) {
    fs::create_directories(user_.configHome);
    ASSERT_TRUE(tavlin_test::WriteFileText(MimeApps(), "[Added Associations]\ntext/plain=gedit.desktop;"));
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", "\"/t\" %u"));
    EXPECT_EQ(ReadFileText(MimeApps()),
              "[Added Associations]\ntext/plain=gedit.desktop;\n\n[Default Applications]\n"
              "x-scheme-handler/tavlin=tavlin-launcher.desktop\n");
    for (const std::string& folder : {user_.configHome, user_.dataHome + "/applications"})
        for (const auto& e : fs::directory_iterator(folder))
            EXPECT_EQ(e.path().filename().string().find(".XXXX"), std::string::npos) << e.path();
    for (const auto& e : fs::directory_iterator(user_.configHome))
        EXPECT_EQ(e.path().filename(), "mimeapps.list");
}

TEST_F(UrlScheme, CreatesMissingFoldersAndFiles) {
    fs::remove_all(user_.dataHome);
    fs::remove_all(user_.configHome);
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", "\"/t\" %u"));
    EXPECT_EQ(ReadFileText(MimeApps()), "[Default Applications]\nx-scheme-handler/tavlin=tavlin-launcher.desktop\n");
    EXPECT_TRUE(tavlin_test::FileExists(DesktopFile()));
}

TEST_F(UrlScheme, PrivateMimeappsListStaysPrivate) {
    fs::create_directories(user_.configHome);
    ASSERT_TRUE(tavlin_test::WriteFileText(MimeApps(), "[Default Applications]\n"));
    fs::permissions(MimeApps(), fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", "\"/t\" %u"));
    EXPECT_EQ(fs::status(MimeApps()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(UrlScheme, SymlinkedMimeappsListKeepsItsLink) {
    fs::create_directories(user_.configHome);
    std::string real = dir_ / "dotfiles-mimeapps.list";
    ASSERT_TRUE(tavlin_test::WriteFileText(real, "[Default Applications]\n"));
    fs::create_symlink(real, MimeApps());
    ASSERT_TRUE(platform::RegisterUrlScheme("tavlin", kId, "Tavlin", "\"/t\" %u"));
    EXPECT_TRUE(fs::is_symlink(MimeApps()));
    EXPECT_EQ(ReadFileText(real), "[Default Applications]\nx-scheme-handler/tavlin=tavlin-launcher.desktop\n");
}

TEST_F(UrlScheme, BadArgumentsAndUnwritableFoldersFail) {
    EXPECT_FALSE(platform::RegisterUrlScheme("", kId, "T", "\"/t\" %u"));
    EXPECT_FALSE(platform::RegisterUrlScheme("tav lin", kId, "T", "\"/t\" %u"));
    EXPECT_FALSE(platform::RegisterUrlScheme("tavlin", "x/y.desktop", "T", "\"/t\" %u"));
    EXPECT_FALSE(platform::RegisterUrlScheme("tavlin", "tavlin", "T", "\"/t\" %u"));
    EXPECT_FALSE(platform::RegisterUrlScheme("tavlin", kId, "T", ""));

    // A file where the applications folder should be.
    fs::remove_all(user_.dataHome);
    ASSERT_TRUE(tavlin_test::WriteFileText(user_.dataHome, "in the way"));
    EXPECT_FALSE(platform::RegisterUrlScheme("tavlin", kId, "T", "\"/t\" %u"));
}

}  // namespace
