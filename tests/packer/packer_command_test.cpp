// tavlin-pack as a process: its packages applied by the installation's own
// extractor, their bytes run after run, its refusals, its signatures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "pack_tree.h"
#include "signing/PackageSignature.h"
#include "temp_dir.h"
#include "unpack/Unpack.h"

namespace fs = std::filesystem;

namespace packer_test {
namespace {

using tavlin_test::Environment;
using tavlin_test::FileExists;
using tavlin_test::ReadFileText;

class PackCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The extractor takes the umask from its process; the sample's modes
        // survive this one.
        ::umask(022);
        fs::create_directories(tree_);
        fs::create_directories(out_);
        MakeSampleTree(tree_);
    }

    // Applies `zip` to `root` as the launcher does.
    static void Apply(const std::string& zip, const std::string& root) {
        tavlin::unpack::UnpackOptions options;
        options.executables = {"tavlin.exe", "TavlinLaunch.exe"};
        const auto result = tavlin::unpack::UnpackArchive(zip, root, options);
        ASSERT_TRUE(result.applied) << tavlin::unpack::DescribeFailure(result);
    }

    // Files in the output folder: a refusal leaves none behind, not even a
    // temporary one.
    std::vector<std::string> OutputFolder() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(out_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    tavlin_test::TempDir tmp_{"tavlin-pack-"};
    std::string tree_ = tmp_ / "new";
    std::string out_ = tmp_ / "out";
};

TEST_F(PackCommandTest, InstallationOfAFullPackageEqualsTheTree) {
    const auto run = Pack({tree_, "-o", out_ + "/update.zip", "--url", "http://127.0.0.1/update.zip"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReportValue(run.out, "package"), out_ + "/update.zip");
    EXPECT_EQ(ReportValue(run.out, "entries"), std::to_string(TreeState(tree_).size()));
    EXPECT_EQ(ReportValue(run.out, "size"), std::to_string(fs::file_size(out_ + "/update.zip")));
    const std::string md5 = ReportValue(run.out, "md5");
    const std::string sha256 = ReportValue(run.out, "sha256");
    EXPECT_EQ(md5.size(), 32u);
    EXPECT_EQ(sha256.size(), 64u);
    EXPECT_EQ(ReportValue(run.out, "command"),
              "temp/Updater.exe -url=http://127.0.0.1/update.zip -md5=" + md5 + " -sha256=" + sha256);
    EXPECT_EQ(ReportValue(run.out, "signature"), "");
    EXPECT_EQ(fs::status(out_ + "/update.zip").permissions(), fs::perms(0644));

    const std::string install = tmp_ / "install";
    Apply(out_ + "/update.zip", install);
    const auto expected = TreeState(tree_);
    EXPECT_EQ(Differences(expected, TreeState(install, {".tavlin-journal"})), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_directory(install + "/logs/empty")) << "empty folders arrive too";
}

TEST_F(PackCommandTest, DeltaOverTheOldTreeGivesTheNewTree) {
    const std::string old = tmp_ / "old";
    fs::copy(tree_, old, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    // Copies keep mode but not time: the old tree's files carry their own.
    for (const auto& e : fs::recursive_directory_iterator(tree_)) {
        if (!e.is_symlink() && e.is_regular_file()) {
            struct stat st{};
            ::lstat(e.path().c_str(), &st);
            SetTime(old + "/" + fs::relative(e.path(), tree_).string(), st.st_mtim.tv_sec);
        }
    }
    PutFile(old, "version.txt", "1.0", 0644, 1500000000);
    PutFile(old, "bin/tool.sh", "#!/bin/sh\nexit 0\n", 0644, 1700000002);
    PutFile(old, "data/lessons.txt", Text(2'600'000, 1).replace(2'000'000, 3, "XYZ"), 0644, 1600000000);
    PutFile(old, "retired/old.dll", "old");
    fs::remove(old + "/课程/说明.txt");
    fs::remove(old + "/bin/current.txt");

    const std::string install = tmp_ / "install";
    fs::copy(old, install, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    for (const auto& [path, state] : TreeState(old))
        if (state.rfind("file", 0) == 0) {
            struct stat st{};
            ::lstat((old + "/" + path).c_str(), &st);
            SetTime(install + "/" + path, st.st_mtim.tv_sec);
        }

    const auto run = Pack({tree_, "--base", old, "-o", out_ + "/delta.zip"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // version.txt, tool.sh (its mode), lessons.txt (its content), the file
    // in a folder both trees have, the link.
    EXPECT_EQ(ReportValue(run.out, "entries"), "5") << run.out;
    EXPECT_NE(run.err.find("only in the old tree"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("  retired/\n"), std::string::npos) << run.err;
    EXPECT_EQ(ReportValue(run.out, "command"), "temp/Updater.exe -url=URL -md5=" + ReportValue(run.out, "md5") +
                                                   " -sha256=" + ReportValue(run.out, "sha256"));

    Apply(out_ + "/delta.zip", install);
    EXPECT_EQ(Differences(TreeState(tree_), TreeState(install, {".tavlin-journal"})), std::vector<std::string>{});
    EXPECT_TRUE(FileExists(install + "/retired/old.dll")) << "a package never deletes";
}

// The same tree gives the same bytes, whatever the zone, the number of
// threads, the time of packing or the tree's place on disk.
TEST_F(PackCommandTest, SameTreeGivesTheSameBytes) {
    Environment tokyo = Environment::Inherit();
    tokyo.Set("TZ", "Asia/Tokyo");
    Environment berlin = Environment::Inherit();
    berlin.Set("TZ", "Europe/Berlin");
    ASSERT_EQ(Pack({tree_, "-o", out_ + "/a.zip"}, tokyo).exitCode, 0);
    const std::string copy = tmp_ / "elsewhere/tree";
    fs::create_directories(tmp_ / "elsewhere");
    ASSERT_EQ(tavlin_test::Run({"cp", "-a", tree_, copy}, Environment::Inherit(), 30000).exitCode, 0);
    SetTime(tree_ + "/bin", 1234567890);  // a folder's time is part of the tree
    SetTime(copy + "/bin", 1234567890);
    ASSERT_EQ(Pack({tree_, "-o", out_ + "/b.zip", "--jobs", "1"}, berlin).exitCode, 0);
    ASSERT_EQ(Pack({copy, "-o", out_ + "/c.zip", "--jobs", "7"}, tokyo).exitCode, 0);
    const std::string b = ReadFileText(out_ + "/b.zip");
    ASSERT_GT(b.size(), 1000u);
    EXPECT_TRUE(b == ReadFileText(out_ + "/c.zip"));
    EXPECT_FALSE(b == ReadFileText(out_ + "/a.zip")) << "the folder's new time must show";

    // And the content itself counts: one byte more in one file.
    PutFile(copy, "version.txt", "2.0.", 0644, 1700000001);
    ASSERT_EQ(Pack({copy, "-o", out_ + "/d.zip"}).exitCode, 0);
    EXPECT_FALSE(b == ReadFileText(out_ + "/d.zip"));
}

TEST_F(PackCommandTest, RefusalsSayWhyAndWriteNothing) {
    struct Case {
        const char* name;
        std::function<void(const std::string& tree)> spoil;
        const char* message;
    } cases[] = {
        {"link out", [](const std::string& t) { PutLink(t, "bin/passwd", "../../etc/passwd"); },
         "\"bin/passwd\": the link's target \"../../etc/passwd\" leads outside the tree"},
        {"absolute link", [](const std::string& t) { PutLink(t, "abs", "/usr/bin"); },
         "\"abs\": the link's target \"/usr/bin\" leads outside the tree"},
        {"fifo", [](const std::string& t) { ASSERT_EQ(::mkfifo((t + "/data/pipe").c_str(), 0644), 0); },
         "\"data/pipe\": a fifo, which a package cannot carry"},
        {"backslash", [](const std::string& t) { PutFile(t, "data/..\\..\\x.dll", "x"); },
         "\"data/..\\..\\x.dll\": the name holds a \"\\\""},
        {"journal", [](const std::string& t) { PutFile(t, ".tavlin-journal", ""); }, "reserved for the installation's journal"},
        {"client not executable", [](const std::string& t) { ::chmod((t + "/tavlin.exe").c_str(), 0644); },
         "\"tavlin.exe\": the installation starts this program, so it must be executable"},
        {"setuid", [](const std::string& t) { ::chmod((t + "/bin/tool.sh").c_str(), 04755); }, "setuid"},
        {"unreadable", [](const std::string& t) { ::chmod((t + "/data").c_str(), 0); }, "\"data\": cannot be"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tree = tmp_ / (std::string("spoilt-") + c.name);
        fs::copy(tree_, tree, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        c.spoil(tree);
        if (::geteuid() == 0 && std::string(c.name) == "unreadable") continue;  // root reads anything
        // An earlier package stays as it was.
        ASSERT_TRUE(tavlin_test::WriteFileText(out_ + "/update.zip", "earlier"));
        const auto run = Pack({tree, "-o", out_ + "/update.zip"});
        ::chmod((tree + "/data").c_str(), 0755);
        EXPECT_EQ(run.exitCode, 1) << run.out;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("no package written"), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(ReadFileText(out_ + "/update.zip"), "earlier");
        EXPECT_EQ(OutputFolder(), std::vector<std::string>{"update.zip"});
    }
}

TEST_F(PackCommandTest, OtherFailuresAndUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{tree_, "-o", tree_ + "/data/update.zip"}, 1, "would lie inside the tree it packs"},
        {{tree_, "-o", out_}, 1, "is a folder"},
        {{tree_, "-o", tmp_ / "no/such/update.zip"}, 1, "cannot be used"},
        {{tmp_ / "missing", "-o", out_ + "/update.zip"}, 1, "cannot be opened"},
        {{tree_, "--base", tree_, "-o", out_ + "/update.zip"}, 1, "nothing to pack"},
        {{tree_, "-o", out_ + "/update.zip", "--sign", tmp_ / "missing.pem"}, 1, "cannot read the key"},
        {{tree_, "-o", out_ + "/update.zip", "--sign", tree_ + "/version.txt"}, 1, "cannot be used"},
        {{tree_, "-o", out_ + "/update.zip", "--sign", "/dev/zero"}, 1, "larger than 64 KiB"},
        {{tree_}, 2, "usage: tavlin-pack"},
        {{tree_, "-o", out_ + "/update.zip", "--bogus"}, 2, "unknown option --bogus"},
    };
    for (const Case& c : cases) {
        const auto run = Pack(c.args);
        EXPECT_EQ(run.exitCode, c.status) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(OutputFolder(), std::vector<std::string>{}) << c.message;
    }
    const auto help = Pack({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--base OLD_TREE"), std::string::npos);
}

// A fifo (or a device such as /dev/null, for root) where the package or its
// signature goes is left alone: renaming a file over it would replace it.
TEST_F(PackCommandTest, OnlyAFileIsReplacedWhereThePackageGoes) {
    const std::string key = tmp_ / "key.pem";
    ASSERT_EQ(tavlin_test::Run({"openssl", "genpkey", "-algorithm", "ed25519", "-out", key},
                               Environment::Inherit(), 30000)
                  .exitCode,
              0);
    const std::string fifo = out_ + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((out_ + "/update.zip.sig").c_str(), 0644), 0);
    auto isFifo = [](const std::string& path) {
        struct stat st{};
        return ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
    };
    const auto toFifo = Pack({tree_, "-o", fifo});
    EXPECT_EQ(toFifo.exitCode, 1);
    EXPECT_NE(toFifo.err.find("\"" + fifo + "\" is not a file"), std::string::npos) << toFifo.err;
    EXPECT_TRUE(isFifo(fifo));
    const auto signedBesideFifo = Pack({tree_, "-o", out_ + "/update.zip", "--sign", key});
    EXPECT_EQ(signedBesideFifo.exitCode, 1);
    EXPECT_NE(signedBesideFifo.err.find("update.zip.sig\" is not a file"), std::string::npos) << signedBesideFifo.err;
    EXPECT_FALSE(FileExists(out_ + "/update.zip"));
    // Unsigned, the package is written and the fifo beside it stays.
    const auto unsignedBesideFifo = Pack({tree_, "-o", out_ + "/update.zip"});
    EXPECT_EQ(unsignedBesideFifo.exitCode, 0) << unsignedBesideFifo.err;
    EXPECT_TRUE(isFifo(out_ + "/update.zip.sig"));
    EXPECT_EQ(OutputFolder(), (std::vector<std::string>{"pipe", "update.zip", "update.zip.sig"}));
}

// Stopped half way (Ctrl-C, a CI timeout), the packer leaves no file behind.
TEST_F(PackCommandTest, InterruptedPackLeavesNothing) {
    PutFile(tree_, "data/huge.bin", Noise(32 << 20, 12));
    tavlin_test::SpawnOptions options;
    options.argv = {PackerPath(), tree_, "-o", out_ + "/update.zip", "--jobs", "1"};
    for (const int sig : {SIGINT, SIGTERM}) {
        tavlin_test::ChildProcess packer;
        ASSERT_TRUE(packer.Start(options)) << packer.error();
        ASSERT_TRUE(tavlin_test::WaitUntil([&] { return !OutputFolder().empty(); }, 30000, 5));
        ASSERT_EQ(::kill(packer.pid(), sig), 0);
        ASSERT_TRUE(packer.Wait(30000));
        EXPECT_TRUE(packer.signalled()) << "the packer ended before the signal: " << packer.exitCode();
        EXPECT_EQ(OutputFolder(), std::vector<std::string>{});
    }
}

TEST_F(PackCommandTest, SignedPackageCarriesAVerifiableSignature) {
    const std::string key = tmp_ / "key.pem";
    ASSERT_EQ(tavlin_test::Run({"openssl", "genpkey", "-algorithm", "ed25519", "-out", key},
                               Environment::Inherit(), 30000)
                  .exitCode,
              0);
    const auto run = Pack({tree_, "-o", out_ + "/update.zip", "--sign", key, "--url", "https://h/u.zip"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string signature = ReportValue(run.out, "signature");
    ASSERT_EQ(signature.size(), 88u) << run.out;
    EXPECT_EQ(ReadFileText(out_ + "/update.zip.sig"), signature + "\n");
    EXPECT_NE(ReportValue(run.out, "command").find(" -sig=" + signature), std::string::npos) << run.out;

    std::string error;
    const std::string publicKey = tavlin::signing::PublicKeyPem(ReadFileText(key), error);
    const auto keys = tavlin::signing::TrustedKeys::FromPem(publicKey, error);
    ASSERT_TRUE(keys) << error;
    const std::string statement = tavlin::signing::SignedStatement(ReportValue(run.out, "sha256"),
                                                                   fs::file_size(out_ + "/update.zip"));
    EXPECT_TRUE(keys->Verifies(statement, signature));
    EXPECT_FALSE(keys->Verifies(tavlin::signing::SignedStatement(ReportValue(run.out, "sha256"), 1), signature));

    // An unsigned package does not keep the signature of the one it replaces.
    const auto unsigned_ = Pack({tree_, "-o", out_ + "/update.zip"});
    ASSERT_EQ(unsigned_.exitCode, 0) << unsigned_.err;
    EXPECT_FALSE(FileExists(out_ + "/update.zip.sig"));
    EXPECT_NE(unsigned_.err.find("the signature of an earlier package"), std::string::npos) << unsigned_.err;
}

}  // namespace
}  // namespace packer_test
