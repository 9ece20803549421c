#include "pack_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>

#include "temp_dir.h"

namespace fs = std::filesystem;

namespace packer_test {

void SetTime(const std::string& path, int64_t mtime) {
    const struct timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("cannot set the time of " + path);
}

void PutFile(const std::string& root, const std::string& relative, const std::string& data, mode_t mode,
             int64_t mtime) {
    const std::string path = root + "/" + relative;
    fs::create_directories(fs::path(path).parent_path());
    ::unlink(path.c_str());
    if (!tavlin_test::WriteFileText(path, data) || ::chmod(path.c_str(), mode) != 0)
        throw std::runtime_error("cannot write " + path);
    SetTime(path, mtime);
}

void PutLink(const std::string& root, const std::string& relative, const std::string& target) {
    const std::string path = root + "/" + relative;
    fs::create_directories(fs::path(path).parent_path());
    ::unlink(path.c_str());
    fs::create_symlink(target, path);
}

void PutFolder(const std::string& root, const std::string& relative) { fs::create_directories(root + "/" + relative); }

std::string Text(std::size_t size, uint32_t seed) {
    static const char* const words[] = {"lesson ", "teacher ", "board ", "slide\n", "id=42 ", "class "};
    std::mt19937 rng(seed);
    std::string out;
    while (out.size() < size) out += words[rng() % std::size(words)];
    out.resize(size);
    return out;
}

std::string Noise(std::size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>(rng());
    return out;
}

void MakeSampleTree(const std::string& root) {
    PutFile(root, "tavlin.exe", "#!/bin/sh\necho client\n", 0755, 1600000000);
    PutFile(root, "version.txt", "2.0", 0644, 1700000001);
    PutFile(root, "bin/tool.sh", "#!/bin/sh\nexit 0\n", 0750, 1700000002);
    PutFile(root, "bin/readonly.cfg", "fixed=1\n", 0444, 1700000003);
    PutFile(root, "data/empty.txt", "", 0644, 1000000000);
    PutFile(root, "data/lessons.txt", Text(2'600'000, 1), 0644, 1700000004);  // three pieces
    PutFile(root, "data/media.bin", Noise(1'300'000, 2), 0600, 1700000005);    // two pieces, incompressible
    PutFile(root, "data/small.bin", Noise(3000, 3), 0644, 1700000006);         // stored
    PutFile(root, "data/deep/er/still/leaf.txt", Text(700, 4), 0644, 1700000007);
    PutFile(root, "课程/说明.txt", "说明\n", 0644, 1700000008);
    PutLink(root, "bin/current.txt", "../version.txt");
    PutLink(root, "lessons", "data");
    PutFolder(root, "logs/empty");
}

std::map<std::string, std::string> TreeState(const std::string& root, const std::set<std::string>& skip) {
    std::map<std::string, std::string> state = tavlin_test::ReadTree(root, skip);
    for (auto& [path, value] : state) {
        if (value.rfind("file", 0) != 0) continue;
        struct stat st{};
        if (::lstat((root + "/" + path).c_str(), &st) == 0) value += " mtime " + std::to_string(st.st_mtim.tv_sec);
    }
    return state;
}

std::vector<std::string> Differences(const std::map<std::string, std::string>& expected,
                                     const std::map<std::string, std::string>& actual) {
    std::vector<std::string> out;
    for (const auto& [path, value] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end())
            out.push_back(path + ": missing");
        else if (found->second != value)
            out.push_back(path + ": " + found->second.substr(0, 80) + " instead of " + value.substr(0, 80));
    }
    return out;
}

std::string PackerPath() {
    const char* fromEnv = std::getenv("TAVLIN_BIN_DIR");
    return std::string(fromEnv && *fromEnv ? fromEnv : TAVLIN_BIN_DIR) + "/tavlin-pack";
}

tavlin_test::RunResult Pack(const std::vector<std::string>& args, const tavlin_test::Environment& env) {
    std::vector<std::string> argv{PackerPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return tavlin_test::Run(argv, env, 120000);
}

std::string ReportValue(const std::string& report, const std::string& name) {
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name + ": ", 0) == 0) return line.substr(name.size() + 2);
    return {};
}

}  // namespace packer_test
