// Feeds arbitrary bytes as a zip archive to the extraction and checks that
// nothing ever lands outside the root (the root sits two folders deep in a
// sentinel folder, and every level must hold exactly what it held before),
// that a package which is not applied leaves the root's files exactly as
// they were, and that neither staged files nor the journal stay behind.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "unpack/Unpack.h"

namespace {

namespace fs = std::filesystem;

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/tavlin-fuzz-XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        sentinel = pattern;
        inner = sentinel / "level1" / "level2";
        root = inner / "root";
        zip = inner / "input.zip";
        fs::create_directories(root);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(sentinel, ec);
    }
    fs::path sentinel, inner, root, zip;
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

void Expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "unpack fuzzer: %s\n", what);
        std::abort();
    }
}

// Everything below `dir`: path -> "dir", "link:<target>" or the file's bytes.
std::map<std::string, std::string> Tree(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = it->path().lexically_relative(dir).string();
        if (it->is_symlink()) {
            out[rel] = "link:" + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            out[rel] = "dir";
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream data;
            data << in.rdbuf();
            out[rel] = data.str();
        }
    }
    return out;
}

// What an installation holds before each input: a file the package may
// replace and one in a folder of its own.
void Populate(const fs::path& root) {
    fs::create_directories(root / "bin");
    std::ofstream(root / "a") << "installed a";
    std::ofstream(root / "bin" / "tool.dll") << "installed tool";
}

// The root itself counts as inside (its relative form is ".").
bool Inside(const fs::path& path, const fs::path& root) {
    const fs::path rel = path.lexically_normal().lexically_relative(root);
    return !rel.empty() && *rel.begin() != "..";
}

// The extraction's temporary names. An entry could be named like this too,
// but a fuzzer is unlikely to build the whole pattern.
const std::regex kTempName(R"(\.tavlin-[A-Za-z0-9]{6}$)");

// Links made by the extraction must point inside the root; no temporary file
// may be left behind.
void CheckRoot(const fs::path& root) {
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& p = it->path();
        Expect(!std::regex_search(p.filename().string(), kTempName), "temporary file left behind");
        if (it->is_symlink()) {
            const fs::path target = fs::read_symlink(p);
            Expect(target.is_relative(), "absolute link target");
            Expect(Inside(p.parent_path() / target, root), "link target outside the root");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Scratch& s = TheScratch();
    {
        std::ofstream out(s.zip, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    Populate(s.root);
    const std::map<std::string, std::string> before = Tree(s.root);
    tavlin::unpack::UnpackOptions options;
    options.threads = (size % 2) ? 2 : 1;
    if (size % 3 == 0) options.executables = {"tavlin.exe", "bin/tool.dll"};
    const tavlin::unpack::UnpackResult result =
        tavlin::unpack::UnpackArchive(s.zip.string(), s.root.string(), options);

    Expect(!fs::exists(fs::symlink_status(s.root / ".tavlin-journal")), "journal left behind");
    Expect(!result.commitIncomplete, "commit incomplete on a plain folder");
    if (!result.applied) Expect(Tree(s.root) == before, "a package that failed changed the root");

    Expect(Names(s.sentinel) == std::set<std::string>{"level1"}, "something appeared in the sentinel folder");
    Expect(Names(s.sentinel / "level1") == std::set<std::string>{"level2"}, "something appeared beside the scratch folder");
    Expect(Names(s.inner) == std::set<std::string>{"input.zip", "root"}, "something appeared beside the root");
    CheckRoot(s.root);

    std::error_code ec;
    for (const auto& e : fs::directory_iterator(s.root)) fs::remove_all(e.path(), ec);
    return 0;
}
