// Feeds arbitrary bytes as the commit journal a killed run left, and checks
// that finishing it never reaches outside the installation (the root sits in
// a sentinel folder whose other contents must not change), never follows a
// link, and leaves no journal unless it was a commit that could not finish.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "unpack/Journal.h"

namespace {

namespace fs = std::filesystem;

void Expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "journal fuzzer: %s\n", what);
        std::abort();
    }
}

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/tavlin-journal-fuzz-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        sentinel = pattern;
        root = sentinel / "root";
        outside = sentinel / "outside";
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(sentinel, ec);
    }
    // An installation with a folder, files, staged files and a link out.
    void Populate() {
        std::error_code ec;
        fs::remove_all(root, ec);
        fs::remove_all(outside, ec);
        fs::create_directories(root / "bin");
        fs::create_directories(outside);
        std::ofstream(root / "a") << "a";
        std::ofstream(root / ".a.tavlin-AAAAAA") << "new a";
        std::ofstream(root / "bin" / "b") << "b";
        std::ofstream(root / "bin" / ".b.tavlin-BBBBBB") << "new b";
        std::ofstream(outside / "x") << "x";
        std::ofstream(outside / ".x.tavlin-XXXXXX") << "new x";
        fs::create_directory_symlink(outside, root / "out");
    }
    fs::path sentinel, root, outside;
};

Scratch& TheScratch() {
    static Scratch scratch;
    return scratch;
}

std::set<std::string> Names(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scratch& s = TheScratch();
    s.Populate();
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(s.root / tavlin::unpack::kJournalName, std::ios::binary | std::ios::trunc);
        out << text;
    }
    const tavlin::unpack::JournalContent parsed = tavlin::unpack::ParseJournal(text);
    const tavlin::unpack::Recovery r = tavlin::unpack::RecoverInterrupted(s.root.string(), 1000);
    Expect(r.found, "a journal was there");
    Expect(r.rolledForward == parsed.committed, "rolled forward exactly the committed journals");

    Expect(Names(s.sentinel) == std::set<std::string>{"outside", "root"}, "something appeared beside the root");
    Expect(Names(s.outside) == std::set<std::string>{".x.tavlin-XXXXXX", "x"}, "the folder behind a link changed");
    const bool kept = fs::exists(fs::symlink_status(s.root / tavlin::unpack::kJournalName));
    Expect(kept == (r.rolledForward && !r.problems.empty()), "journal kept or removed wrongly");
    return 0;
}
