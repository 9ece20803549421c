// tavlin_bench_extract PACKAGE DIR
//   PACKAGE unpacked over the folder DIR, timed from inside; prints
//   "extract <ms> <files> <bytes>" (the tree's files and bytes afterwards,
//   counted outside the timing, so the caller can see both builds agree).
// The package lies outside DIR, so its entries land straight in DIR.
#include "extract_bench.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "zlibdll/ExtractZipToDir.h"

namespace fs = std::filesystem;

namespace tavlin_bench {

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return 1;
}

// ExtractZipToDir with the paths as it takes them; a failure as text.
std::string Extract(const fs::path& package, const fs::path& dir) {
    const int result = ExtractZipToDir(package.u16string().c_str(), dir.u16string().c_str(), 0);
    if (result == kExtractOk) return {};
    return "ExtractZipToDir returned " + std::to_string(result) + ": " + ExtractZipToDirError();
}

}  // namespace

int ExtractBenchMain(const std::vector<fs::path>& args) {
    if (args.size() != 2) return Fail("usage: tavlin_bench_extract PACKAGE DIR");
    const fs::path package = fs::absolute(args[0]);
    const fs::path dir = fs::absolute(args[1]);
    if (!fs::is_regular_file(package)) return Fail("no package " + package.string());
    if (!fs::is_directory(dir)) return Fail("no folder " + dir.string());

    const double start = NowMs();
    const std::string error = Extract(package, dir);
    const double ms = NowMs() - start;
    if (!error.empty()) return Fail(error);

    uint64_t files = 0, bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        bytes += entry.file_size();
    }
    std::printf("extract %.1f %" PRIu64 " %" PRIu64 "\n", ms, files, bytes);
    std::fflush(stdout);
    return 0;
}

}  // namespace tavlin_bench
