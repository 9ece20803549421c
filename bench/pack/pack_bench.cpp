// Packing a large tree into an update package: tavlin-pack against
// `zip -r -q` and `bsdtar -a -cf x.zip`, each run from the tree's folder
// into a fresh file. All deflate at their default level 6.
//
//   tavlin_bench_pack WORKDIR [RUNS]
//
// The tree (the files of the unpack benchmark's package, about 2000 files,
// 110 MB) is generated once into WORKDIR and reused. Every tool first packs
// once untimed, so each timed run reads the tree from the page cache.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "bench_process.h"
#include "bench_tree.h"
#include "bench_util.h"
#include "child_process.h"

namespace fs = std::filesystem;
using namespace tavlin_bench;

namespace {

// Bump when the generated tree changes, so an old one is rebuilt.
constexpr const char* kTreeVersion = "v1";

struct TreeInfo {
    size_t files = 0;
    uint64_t bytes = 0;
};

TreeInfo MakeTree(const std::string& root) {
    TreeInfo info;
    const std::string tmp = root + ".part";
    fs::remove_all(tmp);
    ForEachBenchFile([&](const std::string& name, const std::string& data, bool) {
        const std::string path = tmp + "/" + name;
        fs::create_directories(fs::path(path).parent_path());
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0)
            Die("cannot write " + path);
        ++info.files;
        info.bytes += data.size();
    });
    fs::rename(tmp, root);
    return info;
}

TreeInfo CountTree(const std::string& root) {
    TreeInfo info;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        ++info.files;
        info.bytes += e.file_size();
    }
    return info;
}

struct Tool {
    std::string label;
    std::string output;
    std::function<double()> run;
    std::vector<double> samples;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) Die("usage: tavlin_bench_pack WORKDIR [RUNS]");
    const std::string work = fs::absolute(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    fs::create_directories(work);

    const std::string tree = work + "/pack-tree-" + kTreeVersion;
    if (!fs::exists(tree)) {
        std::printf("generating %s ...\n", tree.c_str());
        std::fflush(stdout);
        MakeTree(tree);
    }
    const TreeInfo info = CountTree(tree);
    const std::string out = work + "/pack-out";
    fs::create_directories(out);

    const std::string zip = tavlin_test::FindProgram("zip");
    const std::string bsdtar = tavlin_test::FindProgram("bsdtar");
    if (zip.empty() || bsdtar.empty()) Die("zip and bsdtar are needed (zip, libarchive-tools)");
    const std::string sh = tavlin_test::FindProgram("sh");
    const std::string packer = BinDir() + "/tavlin-pack";

    std::vector<Tool> tools;
    tools.push_back({"tavlin-pack", out + "/tavlin.zip", [=] {
                         return TimeProgram({packer, tree, "-o", out + "/tavlin.zip"});
                     }, {}});
    // zip adds to an existing archive: each run starts without one.
    tools.push_back({"zip -r -q", out + "/zip.zip", [=] {
                         fs::remove(out + "/zip.zip");
                         return TimeProgram({sh, "-c", "cd \"$1\" && exec \"$0\" -r -q \"$2\" .", zip, tree,
                                             out + "/zip.zip"});
                     }, {}});
    tools.push_back({"bsdtar -a -cf", out + "/bsdtar.zip", [=] {
                         fs::remove(out + "/bsdtar.zip");
                         return TimeProgram({bsdtar, "-a", "-cf", out + "/bsdtar.zip", "-C", tree, "."});
                     }, {}});

    for (Tool& t : tools) t.run();
    // Rotate the order each round so no tool always follows the same one.
    for (int round = 0; round < runs; ++round) {
        for (size_t k = 0; k < tools.size(); ++k) {
            Tool& t = tools[(k + static_cast<size_t>(round)) % tools.size()];
            ::sync();
            t.samples.push_back(t.run());
        }
    }

    std::printf("tree: %zu files, %.1f MB; %ld cores; %d timed runs each\n", info.files, info.bytes / 1e6,
                ::sysconf(_SC_NPROCESSORS_ONLN), runs);
    std::printf("%-16s %10s %10s %10s %10s %10s %10s\n", "packer", "median ms", "min ms", "max ms", "size MB",
                "vs zip", "vs bsdtar");
    const double zipMedian = Summarise(tools[1].samples).median;
    const double bsdtarMedian = Summarise(tools[2].samples).median;
    for (const Tool& t : tools) {
        const Stats s = Summarise(t.samples);
        std::printf("%-16s %10.1f %10.1f %10.1f %10.2f %9.2fx %9.2fx\n", t.label.c_str(), s.median, s.min, s.max,
                    fs::file_size(t.output) / 1e6, s.median / zipMedian, s.median / bsdtarMedian);
    }
    std::printf("(ratios: median time divided by that of zip -r and of bsdtar; below 1 is faster)\n");
    return 0;
}
