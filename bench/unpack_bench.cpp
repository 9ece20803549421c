// Unpacking a large update package over an existing installation: the
// launcher itself (TavlinLaunch.exe in a folder holding update.zip and no
// client, so nothing else is started) against `unzip -o` and `bsdtar -x`,
// each also followed by `sync`: the launcher makes the package durable
// before it replaces a file, so the unpackers that leave their data in the
// page cache are its fair peers only once they sync too.
//
//   tavlin_bench_unpack WORKDIR [RUNS]
//
// The package (about 2000 files, 100 MB) is generated once into WORKDIR and
// reused, with the versions it replaces. Three installations are timed:
// the version before with every file changed, the version before with one
// file in ten changed (a full package of a typical release), and the same
// version again. Before each timed run the installation is put back
// (untimed, with bsdtar) and dirty pages are synced.
#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <functional>
#include <filesystem>
#include <random>

#include "bench_tree.h"
#include "bench_util.h"
#include "bench_process.h"
#include "child_process.h"
#include "user_env.h"
#include "zip_builder.h"

namespace fs = std::filesystem;
using namespace tavlin_bench;
using tavlin_test::Environment;

namespace {

struct PackageInfo {
    size_t files = 0;
    uint64_t bytes = 0;
};

// Nested folders of small text files, medium compressible files and a few
// large random (incompressible) files. With `changeEvery` above 0, every
// such file (the first, then every changeEvery-th) has one byte changed in
// its middle and an earlier time: an older version of the same tree, of
// the same sizes.
PackageInfo MakePackage(const std::string& path, int changeEvery) {
    PackageInfo info;
    std::string tmp = path + ".part";
    {
        tavlin_test::ZipBuilder zip(tmp);
        int index = 0;
        auto add = [&](const std::string& name, const std::string& data, bool deflate) {
            tavlin_test::ZipEntry e;
            e.name = name;
            e.data = data;
            // A changed file of an older release was built a day earlier.
            if (changeEvery > 0 && index % changeEvery == 0 && !e.data.empty()) {
                e.data[e.data.size() / 2] ^= 1;
                e.dosDateTime = tavlin_test::DosDateTime(2020, 6, 14, 12, 30, 0);
            }
            ++index;
            e.deflate = deflate;
            zip.Add(e);
            ++info.files;
            info.bytes += data.size();
        };
        ForEachBenchFile(add);
        zip.Close();
    }
    fs::rename(tmp, path);
    return info;
}

PackageInfo CountTree(const std::string& root) {
    PackageInfo info;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        std::string name = e.path().filename();
        if (name == "TavlinLaunch.exe") continue;
        ++info.files;
        info.bytes += e.file_size();
    }
    return info;
}

struct Tool {
    std::string label;
    std::string dir;
    // Runs one unpack; returns its wall time in milliseconds.
    std::function<double()> run;
    std::vector<double> samples;
};

std::string EnsurePackage(const std::string& work, const std::string& name, int changeEvery) {
    const std::string path = work + "/" + name + "-" + kPackageVersion + ".zip";
    if (!fs::exists(path)) {
        std::printf("generating %s ...\n", path.c_str());
        std::fflush(stdout);
        MakePackage(path, changeEvery);
    }
    return path;
}

struct Scenario {
    const char* label;
    std::string oldPackage;  // the installation each timed run replaces
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) Die("usage: tavlin_bench_unpack WORKDIR [RUNS]");
    const std::string work = fs::absolute(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    fs::create_directories(work);

    const std::string package = EnsurePackage(work, "package", 0);
    const std::vector<Scenario> scenarios = {
        {"over the version before, every file changed", EnsurePackage(work, "older-all", 1)},
        {"over the version before, one file in ten changed", EnsurePackage(work, "older-tenth", 10)},
        {"over the same version", package},
    };

    Environment env = tavlin_test::UserEnvironment(tavlin_test::MakeUserFolders(work + "/user"));
    const std::string unzip = tavlin_test::FindProgram("unzip");
    const std::string bsdtar = tavlin_test::FindProgram("bsdtar");
    if (unzip.empty() || bsdtar.empty()) Die("unzip and bsdtar are needed (unzip, libarchive-tools)");
    const std::string sh = tavlin_test::FindProgram("sh");

    std::vector<Tool> tools;
    {
        std::string dir = work + "/out-launcher";
        tools.push_back({"TavlinLaunch.exe", dir, [dir, package, env] {
                             fs::copy_file(BinDir() + "/TavlinLaunch.exe", dir + "/TavlinLaunch.exe",
                                           fs::copy_options::overwrite_existing);
                             fs::copy_file(package, dir + "/update.zip", fs::copy_options::overwrite_existing);
                             double ms = TimeProgram({dir + "/TavlinLaunch.exe"}, env);
                             if (fs::exists(dir + "/update.zip"))
                                 Die("the launcher left update.zip: is a process named tavlin.exe running?");
                             return ms;
                         }, {}});
    }
    {
        std::string dir = work + "/out-unzip";
        tools.push_back({"unzip -o -q", dir, [=] {
                             return TimeProgram({unzip, "-o", "-q", package, "-d", dir}, env);
                         }, {}});
    }
    {
        std::string dir = work + "/out-bsdtar";
        tools.push_back({"bsdtar -xf", dir, [=] {
                             return TimeProgram({bsdtar, "-xf", package, "-C", dir}, env);
                         }, {}});
    }
    {
        std::string dir = work + "/out-unzip-sync";
        tools.push_back({"unzip -o -q + sync", dir, [=] {
                             return TimeProgram({sh, "-c", "\"$0\" -o -q \"$1\" -d \"$2\" && sync", unzip,
                                                 package, dir},
                                                env);
                         }, {}});
    }
    {
        std::string dir = work + "/out-bsdtar-sync";
        tools.push_back({"bsdtar -xf + sync", dir, [=] {
                             return TimeProgram({sh, "-c", "\"$0\" -xf \"$1\" -C \"$2\" && sync", bsdtar,
                                                 package, dir},
                                                env);
                         }, {}});
    }
    // The installation a timed run replaces, in a fresh folder.
    auto restore = [&](const Tool& t, const std::string& oldPackage) {
        fs::remove_all(t.dir);
        fs::create_directories(t.dir);
        TimeProgram({bsdtar, "-xf", oldPackage, "-C", t.dir}, env);
    };

    // Each tool once, checked against unzip's result.
    for (Tool& t : tools) {
        restore(t, scenarios[0].oldPackage);
        t.run();
    }
    PackageInfo expected = CountTree(tools[1].dir);
    for (Tool& t : tools) {
        PackageInfo got = CountTree(t.dir);
        if (got.files != expected.files || got.bytes != expected.bytes)
            Die(t.label + " unpacked " + std::to_string(got.files) + " files, " +
                std::to_string(got.bytes) + " bytes; unzip " + std::to_string(expected.files) +
                " files, " + std::to_string(expected.bytes) + " bytes");
    }
    std::printf("package: %zu files, %.1f MB unpacked, %.1f MB compressed; %d timed runs each\n",
                expected.files, expected.bytes / 1e6, fs::file_size(package) / 1e6, runs);

    for (const Scenario& scenario : scenarios) {
        for (Tool& t : tools) t.samples.clear();
        // Rotate the order each round so no tool always follows the same one.
        for (int round = 0; round < runs; ++round) {
            for (size_t k = 0; k < tools.size(); ++k) {
                Tool& t = tools[(k + static_cast<size_t>(round)) % tools.size()];
                restore(t, scenario.oldPackage);
                ::sync();
                t.samples.push_back(t.run());
            }
        }
        std::printf("\n%s\n", scenario.label);
        std::printf("%-20s %10s %10s %10s %12s %12s\n", "unpacker", "median ms", "min ms", "max ms", "vs unzip+s",
                    "vs bsdtar+s");
        const double unzipMedian = Summarise(tools[3].samples).median;
        const double bsdtarMedian = Summarise(tools[4].samples).median;
        for (const Tool& t : tools) {
            Stats s = Summarise(t.samples);
            std::printf("%-20s %10.1f %10.1f %10.1f %11.2fx %11.2fx\n", t.label.c_str(), s.median, s.min, s.max,
                        s.median / unzipMedian, s.median / bsdtarMedian);
        }
    }
    std::printf("(ratios: median time divided by that of unzip + sync and of bsdtar + sync; below 1 is faster)\n");
    return 0;
}
