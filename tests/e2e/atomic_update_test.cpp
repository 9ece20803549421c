// A package lands whole or not at all, seen from outside the launcher: killed
// at any moment, on a disk that is or becomes full, with damaged data or
// targets that cannot be replaced, the installation is either the old one
// byte for byte or, once the next start has finished the work, the new one;
// the client never starts on a mix of the two.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "disk_state.h"
#include "launcher_fixture.h"
#include "zip_builder.h"

namespace fs = std::filesystem;
using tavlin_test::FileExists;
using tavlin_test::ReadFileText;
using tavlin_test::WriteFileText;
using tavlin_test::ZipEntry;
using Tree = std::map<std::string, std::string>;
using Clock = std::chrono::steady_clock;

namespace tavlin_e2e {
namespace {

constexpr const char* kJournal = ".tavlin-journal";
constexpr const char* kFailed = "unpack failure, nothing installed: ";
// What is not part of an installation when two are compared: the client's
// record, the package and its folder, and a test's filler file.
const std::set<std::string> kNotInstalled = {"tavlin.calls", "update.zip", "temp", "zz-filler"};

ZipEntry Entry(const std::string& name, const std::string& data, uint32_t mode = 0644) {
    ZipEntry e;
    e.name = name;
    e.data = data;
    e.externalAttributes = tavlin_test::UnixAttributes(0100000 | mode);
    return e;
}

// Incompressible data, stored as zip tools store it.
ZipEntry RandomEntry(const std::string& name, std::size_t size, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string data(size, '\0');
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&data[i], &v, 8);
    }
    ZipEntry e = Entry(name, data);
    e.deflate = false;
    return e;
}

// Text that differs from file to file and compresses as text does.
std::string Text(const std::string& tag, std::size_t size) {
    std::string out;
    out.reserve(size + 64);
    for (int line = 0; out.size() < size; ++line) out += tag + " line " + std::to_string(line) + "\n";
    out.resize(size);
    return out;
}

// What the space check of the unpacker asks for, plus `margin`.
uint64_t RoomFor(const std::vector<ZipEntry>& entries, uint64_t margin) {
    uint64_t bytes = margin;
    for (const ZipEntry& e : entries) bytes += (e.data.size() + 4095) / 4096 * 4096 + 256;
    return bytes;
}

// A descriptor closed with its owner.
struct Fd {
    explicit Fd(int value) : fd(value) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The launcher's record of a package that was not applied; empty when none.
std::string FailureRecord(const std::string& output) {
    for (const std::string& record : LogRecords(output))
        if (Contains(record, kFailed)) return record;
    return {};
}

// Immutable files pass every check a staging run can make, but cannot be
// renamed over. False when this process may not set the flag there.

// Holds every open of a file in one folder (not below it) until this test has
// looked at it, and runs `atFirstStaged` before it lets the first open of a
// staged file through: a moment inside staging, hit every time.
class OpenGate {
public:
    ~OpenGate() { Stop(); }

    bool Watch(const std::string& folder, std::function<void()> atFirstStaged) {
        fan_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC | O_LARGEFILE);
        if (fan_ < 0) return false;
        if (::fanotify_mark(fan_, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD, folder.c_str()) != 0) {
            ::close(fan_);
            fan_ = -1;
            return false;
        }
        hook_ = std::move(atFirstStaged);
        thread_ = std::thread([this] { Loop(); });
        return true;
    }

    // Lets everything through from now on.
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fan_ >= 0) ::close(fan_);
        fan_ = -1;
    }

    bool fired() const { return fired_; }

private:
    void Loop() {
        alignas(fanotify_event_metadata) char buffer[8192];
        // Bounded: a launcher run under test ends well before.
        const auto deadline = Clock::now() + std::chrono::milliseconds(2 * kProcessTimeoutMs);
        while (!stop_ && Clock::now() < deadline) {
            pollfd p{fan_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::read(fan_, buffer, sizeof buffer);
            if (n <= 0) continue;
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = n; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
                if (event->fd < 0) continue;
                std::error_code ec;
                const std::string name =
                    fs::read_symlink("/proc/self/fd/" + std::to_string(event->fd), ec).filename().string();
                if (!fired_ && Contains(name, ".tavlin-") && name != kJournal) {
                    fired_ = true;
                    hook_();
                }
                const fanotify_response allow{event->fd, FAN_ALLOW};
                (void)::write(fan_, &allow, sizeof allow);
                ::close(event->fd);
            }
        }
    }

    int fan_ = -1;
    std::function<void()> hook_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> fired_{false};
};

class AtomicUpdateTest : public LauncherTest {
protected:
    void SetUp() override {
        // The modes packages ask for are compared as the launcher makes them.
        ::umask(022);
        LauncherTest::SetUp();
        if (HasFatalFailure()) return;
        WriteFileText(Installed("version.txt"), "1.0");
        WriteFileText(Installed("keep.txt"), "not in any package");
        for (const auto& entry : fs::directory_iterator(install())) programs_.insert(entry.path().filename().string());
    }

    Tree InstalledTree() const { return tavlin_test::ReadTree(install(), kNotInstalled); }

    // Leaves the package where the updater leaves it.
    void LeavePackage(const std::vector<ZipEntry>& entries) {
        fs::create_directories(Installed("temp"));
        tavlin_test::WriteZip(Installed("temp/update.zip"), entries);
    }

    // Removes every file and folder but the programs and version.txt the
    // fixture installed, then writes `files` (relative path -> data, mode).
    void ReplaceInstallation(const std::map<std::string, std::pair<std::string, mode_t>>& files) {
        for (const auto& entry : fs::directory_iterator(install()))
            if (!programs_.count(entry.path().filename().string())) fs::remove_all(entry.path());
        for (const auto& [path, content] : files) {
            ASSERT_TRUE(WriteFileText(Installed(path), content.first)) << path;
            fs::permissions(Installed(path), static_cast<fs::perms>(content.second));
        }
    }

    // Kills every process started from the installation, including one that
    // a killed launcher was just forking; a few rounds bound the wait.
    void StopEverything() {
        for (int round = 0; round < 5; ++round) {
            const std::vector<pid_t> pids = tavlin_test::ProcessesBelow(install());
            if (pids.empty() && round > 0) return;
            EXPECT_TRUE(tavlin_test::KillAndReap(pids, kRecordTimeoutMs));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // The installation is `before` and nothing of a failed package is left:
    // no staged file, no journal, no package to be tried again.
    void ExpectUntouched(const Tree& before) {
        EXPECT_EQ(InstalledTree(), before);
        EXPECT_EQ(tavlin_test::StagingDebris(install()), std::vector<std::string>{});
        EXPECT_FALSE(FileExists(Installed("update.zip")));
        EXPECT_FALSE(FileExists(Installed("temp/update.zip")));
    }

    // The installation the package must produce, made without the launcher:
    // the current one with every entry written over it.
    Tree ExpectedAfter(const std::vector<ZipEntry>& entries) {
        const std::string dir = Scratch("expected");
        fs::remove_all(dir);
        fs::copy(install(), dir, fs::copy_options::recursive);
        for (const ZipEntry& e : entries) {
            const std::string path = dir + "/" + e.name;
            fs::remove(path);
            EXPECT_TRUE(WriteFileText(path, e.data));
            fs::permissions(path, static_cast<fs::perms>((e.externalAttributes >> 16) & 0777 & ~022));
        }
        return tavlin_test::ReadTree(dir, kNotInstalled);
    }

    // The client the last start began reported this version.
    void ExpectClientVersion(const std::string& version) {
        ASSERT_TRUE(WaitForCalls("version", 1)) << "the client did not start";
        EXPECT_EQ(CallsOf("version").back().data, version);
    }

    std::set<std::string> programs_;
};

// The installation on a tmpfs of its own: a disk that can be made full, and
// one that no other test's writing slows down.
class TmpfsTest : public AtomicUpdateTest {
protected:
    void SetUp() override {
        AtomicUpdateTest::SetUp();
        if (HasFatalFailure()) return;
        onTmpfs_ = disk_.Mount(install());
    }
    void TearDown() override {
        // The programs run from the tmpfs: they go before it does.
        StopEverything();
        AtomicUpdateTest::TearDown();
    }

    tavlin_test::SmallDisk disk_;
    bool onTmpfs_ = false;
};

// --- killed at any moment ---

// The release the kill test applies: two thousand small files in a hundred
// folders (more than the unpacker keeps open at once; half of the folders and
// a quarter of the files already installed), program files whose mode
// changes, and large incompressible files, enough for the unpacker to stage
// with two threads.
struct Release {
    std::map<std::string, std::pair<std::string, mode_t>> oldFiles;
    std::vector<ZipEntry> entries;
};

Release MakeRelease() {
    Release r;
    r.oldFiles["version.txt"] = {"1.0", 0644};
    r.oldFiles["keep.txt"] = {"not in any package", 0644};
    r.oldFiles["bin/tool.sh"] = {"#!/bin/sh\necho old\n", 0644};
    r.oldFiles["bin/settings.ini"] = {"old=1\n", 0444};
    r.entries.push_back(Entry("version.txt", "2.0"));
    r.entries.push_back(Entry("bin/tool.sh", "#!/bin/sh\necho new\n", 0755));
    r.entries.push_back(Entry("bin/settings.ini", "new=1\n", 0600));
    for (int big = 0; big < 3; ++big) {
        const std::string name = "media/big" + std::to_string(big) + ".bin";
        r.oldFiles[name] = {"old " + name, 0644};
        r.entries.push_back(RandomEntry(name, 3u << 20, 1000 + big));
    }
    for (int folder = 0; folder < 100; ++folder) {
        for (int file = 0; file < 20; ++file) {
            const std::string name = "data/d" + std::to_string(folder) + "/f" + std::to_string(file) + ".txt";
            if (folder % 2 == 0 && file % 2 == 0) r.oldFiles[name] = {"old " + name, 0644};
            r.entries.push_back(Entry(name, Text(name, 100 + 37 * file)));
        }
    }
    return r;
}

// The journal ends with a whole commit record ("C <count>").
bool JournalCommitted(const std::string& journal) {
    const Fd file(::open(journal.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st{};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) return false;
    char tail[64] = {};
    const off_t from = std::max<off_t>(0, st.st_size - static_cast<off_t>(sizeof tail - 1));
    const ssize_t n = ::pread(file.fd, tail, sizeof tail - 1, from);
    if (n <= 0 || tail[n - 1] != '\n') return false;
    const std::string text(tail, static_cast<std::size_t>(n - 1));
    const std::size_t line = text.rfind('\n');
    return text.compare(line == std::string::npos ? 0 : line + 1, 2, "C ") == 0;
}

// The staged sibling of `target` ("dir/.name.tavlin-XXXXXX") among `tree`'s keys.
bool HasStagedSibling(const Tree& tree, const std::string& target) {
    const fs::path p(target);
    const std::string prefix = (p.parent_path() / ("." + p.filename().string() + ".tavlin-")).string();
    const auto it = tree.lower_bound(prefix);
    return it != tree.end() && it->first.rfind(prefix, 0) == 0;
}

// Classifies the installation as a killed run left it, before any recovery:
// without a journal it must be exactly the old or the new one, with no
// staged file; with an unfinished journal the installed files must all be
// as the run found them (the old ones, or the new ones when a start that
// finished an earlier commit was applying the package again); with a
// committed one every file must be new or old with its new data staged
// beside it. Anything else is a mix, or lost data.
std::string Classify(const Tree& now, const std::string& journal, const Tree& oldTree, const Tree& newTree) {
    Tree clean;
    std::vector<std::string> debris;
    for (const auto& [path, value] : now) {
        if (Contains(fs::path(path).filename().string(), ".tavlin-")) debris.push_back(path);
        else clean[path] = value;
    }
    if (!FileExists(journal)) {
        if (!debris.empty()) return "staged files without a journal, first " + debris.front();
        if (clean == oldTree) return "old";
        if (clean == newTree) return "new";
        for (const auto& [path, value] : clean) {
            const auto o = oldTree.find(path);
            const auto n = newTree.find(path);
            if ((o == oldTree.end() || o->second != value) && (n == newTree.end() || n->second != value))
                return "a mix: " + path + " is neither old nor new";
        }
        return "a mix of old and new files";
    }
    if (!JournalCommitted(journal)) {
        // Staging adds only its own files and the folders for new ones.
        auto staging = [&](const Tree& base) {
            for (const auto& [path, value] : base) {
                const auto it = clean.find(path);
                if (it == clean.end() || it->second != value) return "changed before the commit: " + path;
            }
            for (const auto& [path, value] : clean) {
                if (!base.count(path) && !(value == "dir" && newTree.count(path)))
                    return "unrecorded new entry before the commit: " + path;
            }
            return std::string("staging");
        };
        const std::string overOld = staging(oldTree);
        return overOld == "staging" || staging(newTree) == "staging" ? "staging" : overOld;
    }
    for (const auto& [path, value] : newTree) {
        const auto it = clean.find(path);
        if (it != clean.end() && it->second == value) continue;
        if (value == "dir") return "folder missing after the commit: " + path;
        const auto o = oldTree.find(path);
        const bool asBefore = o == oldTree.end() ? it == clean.end() : (it != clean.end() && it->second == o->second);
        if (!asBefore || !HasStagedSibling(now, path)) return "lost after the commit: " + path;
    }
    return "committed";
}

// Killed (SIGKILL) at moments spread over the time an undisturbed launcher
// takes, and at the moment its commit record appears, the next start leaves
// the whole new release: every file byte for byte with its mode, nothing
// staged, no journal, and a client that reports the new version. Right after
// each kill, before any recovery, the installation is never a mix.
TEST_F(TmpfsTest, KilledAtAnyMomentTheNextStartInstallsTheWholeRelease) {
    // A tmpfs keeps the fifty-odd runs quick; the disk does as well, slower.
    if (!onTmpfs_) std::printf("installation on the disk: %s\n", disk_.error().c_str());
    const Release release = MakeRelease();
    const std::string package = Scratch("release.zip");
    tavlin_test::WriteZip(package, release.entries);
    ReplaceInstallation(release.oldFiles);
    const Tree oldTree = InstalledTree();
    const Tree newTree = ExpectedAfter(release.entries);
    ASSERT_NE(oldTree, newTree);

    auto reset = [&] {
        StopEverything();
        ReplaceInstallation(release.oldFiles);
        fs::create_directories(Installed("temp"));
        fs::copy_file(package, Installed("temp/update.zip"));
        ASSERT_EQ(InstalledTree(), oldTree);
    };
    // After each kill: one start must finish the release.
    auto restartAndExpectNew = [&](const std::string& seen) {
        SCOPED_TRACE("state after the kill: " + seen);
        StopEverything();
        fs::remove(Installed("tavlin.calls"));
        const RunResult r = RunLauncher({});
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(FailureRecord(r.err), "");
        EXPECT_EQ(InstalledTree(), newTree);
        EXPECT_EQ(tavlin_test::StagingDebris(install()), std::vector<std::string>{});
        EXPECT_FALSE(FileExists(Installed("update.zip")));
        EXPECT_FALSE(FileExists(Installed("temp/update.zip")));
        ExpectClientVersion("2.0");
    };

    // Undisturbed runs give the time to spread the kills over: the longer
    // of two, the first with cold caches.
    std::chrono::microseconds whole{0};
    for (int run = 0; run < 2; ++run) {
        reset();
        const auto start = Clock::now();
        const RunResult undisturbed = RunLauncher({});
        whole = std::max(whole, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start));
        ASSERT_EQ(undisturbed.exitCode, 0) << undisturbed.err;
        restartAndExpectNew("not killed");
        if (HasFatalFailure()) return;
    }

    const unsigned seed = std::random_device{}();
    RecordProperty("seed", std::to_string(seed));
    SCOPED_TRACE("seed " + std::to_string(seed) + ", undisturbed run " + std::to_string(whole.count()) + " us");
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> within(0.0, 1.0);
    std::map<std::string, int> states;
    // On a disk each run waits for its syncfs: fewer kills keep the time bounded.
    const int slices = onTmpfs_ ? 25 : 10;
    for (int kill = 0; kill < slices && !HasFatalFailure(); ++kill) {
        reset();
        // One kill in each of the equal slices of the run, at a random
        // point of its slice.
        const auto delay = std::chrono::microseconds(
            static_cast<int64_t>(whole.count() * (kill + within(rng)) / slices));
        SCOPED_TRACE("kill " + std::to_string(kill) + " after " + std::to_string(delay.count()) + " us");
        {
            ChildProcess launcher = StartLauncher({});
            std::this_thread::sleep_for(delay);
            launcher.Kill();
            ASSERT_TRUE(launcher.Wait(kProcessTimeoutMs));
        }
        StopEverything();
        std::string state = Classify(InstalledTree(), Installed(kJournal), oldTree, newTree);
        ++states[state];
        EXPECT_TRUE(state == "old" || state == "new" || state == "staging" || state == "committed") << state;
        if (state == "old") {
            EXPECT_TRUE(FileExists(Installed("update.zip")) || FileExists(Installed("temp/update.zip")))
                << "the old installation without its package";
        }
        // Every other time a journal is left, the start that finishes it is
        // killed as well, somewhere in its own run.
        if (kill % 2 == 1 && FileExists(Installed(kJournal))) {
            {
                ChildProcess recovering = StartLauncher({});
                std::this_thread::sleep_for(
                    std::chrono::microseconds(static_cast<int64_t>(whole.count() * within(rng))));
                recovering.Kill();
                ASSERT_TRUE(recovering.Wait(kProcessTimeoutMs));
            }
            StopEverything();
            state = Classify(InstalledTree(), Installed(kJournal), oldTree, newTree);
            ++states["recovery killed: " + state];
            EXPECT_TRUE(state == "new" || state == "staging" || state == "committed") << "recovery killed: " << state;
        }
        restartAndExpectNew(state);
    }

    // Killed as soon as the commit record is there: the renames are then
    // under way or about to be.
    for (int attempt = 0; attempt < 3 && !HasFatalFailure(); ++attempt) {
        reset();
        const Fd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        ASSERT_GE(watch.fd, 0);
        ASSERT_GE(::inotify_add_watch(watch.fd, install().c_str(), IN_MODIFY), 0);
        ChildProcess launcher = StartLauncher({});
        bool sawCommit = false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kProcessTimeoutMs);
        while (!sawCommit && launcher.Alive() && Clock::now() < deadline) {
            pollfd p{watch.fd, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            char events[4096];
            while (::read(watch.fd, events, sizeof events) > 0) {
            }
            sawCommit = JournalCommitted(Installed(kJournal));
        }
        launcher.Kill();
        ASSERT_TRUE(launcher.Wait(kProcessTimeoutMs));
        StopEverything();
        const std::string state = Classify(InstalledTree(), Installed(kJournal), oldTree, newTree);
        ++states["at the commit: " + state];
        EXPECT_TRUE(state == "new" || state == "committed") << state;
        restartAndExpectNew(state);
    }

    std::string summary;
    for (const auto& [state, count] : states) summary += " " + state + "=" + std::to_string(count);
    RecordProperty("states", summary);
    std::printf("undisturbed run %lld us; states after the kills:%s\n", static_cast<long long>(whole.count()),
                summary.c_str());
}

// --- full disks ---

class FullDiskTest : public TmpfsTest {
protected:
    void SetUp() override {
        TmpfsTest::SetUp();
        if (HasFatalFailure()) return;
        if (!onTmpfs_) GTEST_SKIP() << "no tmpfs can be mounted here: " << disk_.error();
        fs::create_directories(Installed("zz-filler"));
    }
};

// Too little room for the package, found before anything is written, or
// room that runs out while the package is being staged (inodes for folders
// the space check does not count, a journal longer than the room kept for
// it, a disk already full): the old installation stays byte for byte,
// nothing is left behind, and the launcher says why.
TEST_F(FullDiskTest, TooLittleRoomLeavesTheOldInstallation) {
    struct Case {
        const char* what;
        std::vector<ZipEntry> package;
        uint64_t freeBytes;  // ~0: none at all
        uint64_t freeInodes;
        const char* reason;
    };
    std::vector<Case> cases;
    {
        Case c{"larger than the free space", {Entry("version.txt", "2.0")}, 2u << 20, 1000, "not enough free space"};
        for (int i = 0; i < 4; ++i) c.package.push_back(RandomEntry("lib/part" + std::to_string(i), 1u << 20, i));
        cases.push_back(c);
    }
    {
        // 41 folders come with the files; the check counts one inode per
        // entry, so 60 pass it, and the 19th staged file finds none.
        Case c{"inodes run out while staging", {Entry("version.txt", "2.0")}, 8u << 20, 60, "No space left on device"};
        for (int i = 0; i < 40; ++i) c.package.push_back(Entry("mods/m" + std::to_string(i) + "/plugin.txt", "p"));
        cases.push_back(c);
    }
    {
        // Each journal line names a long path twice; the check keeps 256
        // bytes for it per entry.
        Case c{"the journal outgrows the room kept for it", {Entry("version.txt", "2.0")}, 256u << 10, 1000,
               "No space left on device"};
        const std::string deep = std::string(200, 'a') + "/" + std::string(200, 'b') + "/" + std::string(200, 'c');
        for (int i = 0; i < 300; ++i)
            c.package.push_back(Entry(deep + "/" + std::string(190, 'f') + std::to_string(i), ""));
        cases.push_back(c);
    }
    cases.push_back({"a disk already full", {Entry("version.txt", "2.0"), Entry("lib/new.dll", "new")}, ~0ull, 1000,
                     "No space left on device"});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Installed("zz-filler/fill"));
        ASSERT_TRUE(disk_.LeaveFree(64u << 20)) << disk_.error();
        WriteFileText(Installed("lib/old.dll"), "old library");
        LeavePackage(c.package);
        const Tree before = InstalledTree();
        if (c.freeBytes == ~0ull) {
            ASSERT_TRUE(disk_.LeaveFree(1u << 20, c.freeInodes)) << disk_.error();
            ASSERT_TRUE(disk_.Fill(Installed("zz-filler/fill"))) << disk_.error();
        } else {
            ASSERT_TRUE(disk_.LeaveFree(c.freeBytes, c.freeInodes)) << disk_.error();
        }

        const RunResult r = RunLauncher({});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::string record = FailureRecord(r.err);
        EXPECT_TRUE(Contains(record, c.reason)) << r.err;
        ExpectUntouched(before);
        StopEverything();
    }
}

// The space check passes, then another program takes the rest of the disk
// while the first files are being staged: the writes fail, everything
// staged so far goes, and the old installation stays.
TEST_F(FullDiskTest, ADiskThatFillsDuringStagingLeavesTheOldInstallation) {
    std::vector<ZipEntry> package;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "lib/l" + std::to_string(i) + ".dll";
        package.push_back(Entry(name, Text(name, 3000)));
    }
    package.push_back(RandomEntry("big.bin", 12u << 20, 7));
    package.push_back(Entry("version.txt", "2.0"));
    WriteFileText(Installed("lib/l3.dll"), "old l3");
    WriteFileText(Installed("big.bin"), "old big");
    LeavePackage(package);
    const Tree before = InstalledTree();
    ASSERT_TRUE(disk_.LeaveFree(RoomFor(package, 1u << 20))) << disk_.error();

    OpenGate gate;
    bool filled = false;
    if (!gate.Watch(install(), [&] { filled = disk_.Fill(Installed("zz-filler/fill")); }))
        GTEST_SKIP() << "fanotify permission events are not available: " << std::strerror(errno);
    const RunResult r = RunLauncher({});
    gate.Stop();

    ASSERT_TRUE(gate.fired()) << "no staged file was opened\n" << r.err;
    ASSERT_TRUE(filled) << disk_.error();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string record = FailureRecord(r.err);
    EXPECT_TRUE(Contains(record, "No space left on device")) << r.err;
    ExpectUntouched(before);

    // With room again the old client starts, and no package comes back.
    StopEverything();
    fs::remove(Installed("zz-filler/fill"));
    const RunResult again = RunLauncher({});
    EXPECT_EQ(FailureRecord(again.err), "") << again.err;
    EXPECT_EQ(InstalledTree(), before);
    ExpectClientVersion("1.0");
}

// --- damaged data, targets that cannot be replaced ---

// The last entry of a package of more than 50 MB in two hundred files has a
// wrong CRC: by then everything else has been staged, with two threads, and
// all of it goes again.
TEST_F(AtomicUpdateTest, ABadCrcInTheLastEntryOfALargePackageReplacesNothing) {
    std::vector<ZipEntry> package{Entry("version.txt", "2.0")};
    for (int i = 0; i < 200; ++i) {
        const std::string name = "res/r" + std::to_string(i % 20) + "/file" + std::to_string(i) + ".dat";
        if (i % 10 == 0) WriteFileText(Installed(name), "installed " + name);
        package.push_back(Entry(name, Text(name, 256u << 10)));
    }
    ZipEntry last = Entry("zz/last.dll", Text("last", 1u << 20));
    last.declaredCrc = 0x12345678;
    package.push_back(last);
    LeavePackage(package);
    const Tree before = InstalledTree();

    const RunResult r = RunLauncher({});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(FailureRecord(r.err), "entry \"zz/last.dll\": data does not match its CRC")) << r.err;
    ExpectUntouched(before);
    ExpectClientVersion("1.0");
}

// Installed things that a file entry cannot replace: a folder where the
// file goes, a file where its folder goes, a folder the launcher's user may
// not write to. Nothing is replaced; the reason names the entry.
TEST_F(AtomicUpdateTest, TargetsThatCannotBeReplacedLeaveTheOldInstallation) {
    const std::string setpriv = tavlin_test::FindProgram("setpriv");
    struct Case {
        const char* what;
        std::function<void()> prepare;
        bool asOtherUser;
        const char* reason;
    };
    const Case cases[] = {
        {"a folder in the way", [&] { WriteFileText(Installed("plugins/chat.dll/inside.txt"), "a folder"); }, false,
         "entry \"plugins/chat.dll\": a folder is in the way"},
        {"a file where a folder goes", [&] { WriteFileText(Installed("skins"), "a file"); }, false,
         "entry \"skins/blue/skin.xml\": \"skins\" is not a folder"},
        {"a read-only folder", [&] { ::chmod(Installed("res").c_str(), 0555); }, true,
         "entry \"res/skin.dat\": cannot create a file beside it: Permission denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.asOtherUser && (::geteuid() != 0 || setpriv.empty())) {
            std::printf("skipped \"%s\": needs root and setpriv\n", c.what);
            continue;
        }
        StopEverything();
        ReplaceInstallation({{"version.txt", {"1.0", 0644}},
                             {"res/skin.dat", {"old skin", 0644}},
                             {"plugins/old.dll", {"old plugin", 0644}}});
        fs::remove(Installed("tavlin.calls"));
        LeavePackage({Entry("version.txt", "2.0"), Entry("plugins/new.dll", "new plugin"),
                      Entry("plugins/chat.dll", "chat"), Entry("res/skin.dat", "new skin"),
                      Entry("skins/blue/skin.xml", "<skin/>"), Entry("zz/last.txt", "last")});
        c.prepare();
        if (c.asOtherUser) {
            // The user owns the whole test folder, installation and desktop
            // folders alike, and passes into it.
            for (const auto& e : fs::recursive_directory_iterator(tmp_.path()))
                ASSERT_EQ(::lchown(e.path().c_str(), kOtherUser, kOtherUser), 0) << e.path();
            ASSERT_EQ(::chown(tmp_.path().c_str(), kOtherUser, kOtherUser), 0);
        }
        const Tree before = InstalledTree();
        RunResult r;
        if (c.asOtherUser) {
            const std::string id = std::to_string(kOtherUser);
            r = tavlin_test::Run({setpriv, "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                  Installed("TavlinLaunch.exe")},
                                 env_, kProcessTimeoutMs, user_.home);
        } else {
            r = RunLauncher({});
        }
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Contains(FailureRecord(r.err), c.reason)) << r.err;
        ExpectUntouched(before);
        ::chmod(Installed("res").c_str(), 0755);
        ExpectClientVersion("1.0");
    }
}

// An immutable target is found before anything is staged: the package fails
// whole. A commit that a killed run left and whose rename is then refused
// stays in the journal; each start tries to finish it, and the first start
// that can puts in every remaining file.
TEST_F(AtomicUpdateTest, ACommitThatCannotFinishIsFinishedByALaterStart) {
    ReplaceInstallation({{"version.txt", {"1.0", 0644}}, {"lib/a.dll", {"old a", 0644}}, {"lib/b.dll", {"old b", 0644}},
                         {"z.dat", {"old z", 0644}}});
    const std::vector<ZipEntry> package{Entry("version.txt", "2.0"), Entry("lib/a.dll", "new a"),
                                       Entry("lib/b.dll", "new b"), Entry("lib/c.dll", "new c"),
                                       Entry("z.dat", "new z")};
    LeavePackage(package);
    if (!tavlin_test::SetImmutable(Installed("lib/b.dll"), true)) GTEST_SKIP() << "cannot make a file immutable here";
    const Tree oldTree = InstalledTree();

    const RunResult refused = RunLauncher({});
    EXPECT_TRUE(Contains(refused.err, kFailed + std::string("entry \"lib/b.dll\": cannot be replaced")))
        << refused.err;
    EXPECT_EQ(InstalledTree(), oldTree);
    EXPECT_FALSE(FileExists(Installed(kJournal)));
    EXPECT_FALSE(FileExists(Installed("update.zip")));
    StopEverything();

    // A run killed after its commit record: lib/a.dll already in, lib/b.dll
    // and version.txt still staged, and lib/b.dll refuses its rename.
    ASSERT_TRUE(WriteFileText(Installed("lib/a.dll"), "new a"));
    ASSERT_TRUE(WriteFileText(Installed("lib/.b.dll.tavlin-Kb12Cd"), "new b"));
    ASSERT_TRUE(WriteFileText(Installed(".version.txt.tavlin-Kv12Cd"), "2.0"));
    ASSERT_TRUE(WriteFileText(Installed(kJournal),
                              "tavlin-journal 1\nF lib/.a.dll.tavlin-Ka12Cd lib/a.dll\n"
                              "F lib/.b.dll.tavlin-Kb12Cd lib/b.dll\nF .version.txt.tavlin-Kv12Cd version.txt\nC 3\n"));
    for (int start = 0; start < 2; ++start) {
        const RunResult stillRefused = RunLauncher({});
        EXPECT_EQ(stillRefused.exitCode, 0) << stillRefused.err;
        EXPECT_TRUE(Contains(stillRefused.err, "cannot replace \"lib/b.dll\"")) << stillRefused.err;
        EXPECT_TRUE(FileExists(Installed(kJournal)));
        const std::vector<std::string> debris = tavlin_test::StagingDebris(install());
        EXPECT_EQ(std::set<std::string>(debris.begin(), debris.end()),
                  (std::set<std::string>{kJournal, "lib/.b.dll.tavlin-Kb12Cd"}));
        EXPECT_EQ(ReadFileText(Installed("version.txt")), "2.0");
        StopEverything();
    }

    ASSERT_TRUE(tavlin_test::SetImmutable(Installed("lib/b.dll"), false));
    fs::remove(Installed("tavlin.calls"));
    const RunResult finished = RunLauncher({});
    EXPECT_EQ(finished.exitCode, 0) << finished.err;
    EXPECT_EQ(ReadFileText(Installed("lib/b.dll")), "new b");
    EXPECT_FALSE(FileExists(Installed(kJournal)));
    EXPECT_EQ(tavlin_test::StagingDebris(install()), std::vector<std::string>{});
    ExpectClientVersion("2.0");
}

// --- programs from a package made on Windows ---

// Entries from a DOS host carry no Unix mode. The client and the launcher
// replaced from such a package stay (or become) executable: the new client
// starts and reports the new version, and the new launcher runs.
TEST_F(AtomicUpdateTest, ProgramsFromADosPackageStayExecutable) {
    auto dos = [](const std::string& name, const std::string& data) {
        ZipEntry e;
        e.name = name;
        e.data = data;
        e.host = tavlin_test::zip_host::kDos;
        e.externalAttributes = 0x20;  // archive
        return e;
    };
    // Trailing bytes change the files without changing what they run.
    const std::string client = ReadFileText(BinDir() + "/tavlin.exe") + "client 2.0";
    const std::string launcher = ReadFileText(BinDir() + "/TavlinLaunch.exe") + "launcher 2.0";
    ASSERT_GT(client.size(), 1000u);
    struct Case {
        const char* what;
        int clientMode;  // of the installed client before the update; -1: none
    };
    for (const Case& c : {Case{"installed executable", 0755}, Case{"installed without its execute bits", 0644},
                          Case{"not installed", -1}}) {
        SCOPED_TRACE(c.what);
        StopEverything();
        fs::remove(Installed("tavlin.calls"));
        WriteFileText(Installed("version.txt"), "1.0");
        fs::copy_file(BinDir() + "/tavlin.exe", Installed("tavlin.exe"), fs::copy_options::overwrite_existing);
        fs::copy_file(BinDir() + "/TavlinLaunch.exe", Installed("TavlinLaunch.exe"),
                      fs::copy_options::overwrite_existing);
        fs::permissions(Installed("TavlinLaunch.exe"), static_cast<fs::perms>(0755));
        if (c.clientMode < 0) fs::remove(Installed("tavlin.exe"));
        else fs::permissions(Installed("tavlin.exe"), static_cast<fs::perms>(c.clientMode));
        LeavePackage({dos("tavlin.exe", client), dos("TavlinLaunch.exe", launcher), dos("version.txt", "2.0"),
                      dos("readme.txt", "text"), dos("tools/run.sh", "#!/bin/sh\nexit 0\n")});

        const RunResult r = RunLauncher({});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(FailureRecord(r.err), "");
        EXPECT_EQ(ReadFileText(Installed("tavlin.exe")), client);
        EXPECT_EQ(ReadFileText(Installed("TavlinLaunch.exe")), launcher);
        EXPECT_EQ(fs::status(Installed("tavlin.exe")).permissions(), static_cast<fs::perms>(0755));
        EXPECT_EQ(fs::status(Installed("TavlinLaunch.exe")).permissions(), static_cast<fs::perms>(0755));
        EXPECT_EQ(fs::status(Installed("tools/run.sh")).permissions(), static_cast<fs::perms>(0755));
        EXPECT_EQ(fs::status(Installed("readme.txt")).permissions(), static_cast<fs::perms>(0644));
        ExpectClientVersion("2.0");

        // The new launcher starts the new client again.
        StopEverything();
        const RunResult again = RunLauncher({});
        EXPECT_EQ(again.exitCode, 0) << again.err;
        ASSERT_TRUE(WaitForCalls("version", 2));
        EXPECT_EQ(CallsOf("version").back().data, "2.0");
    }
}

}  // namespace
}  // namespace tavlin_e2e
