// The download job's two heavy steps against the standard tools, medians and
// ratios in one run:
//   ExtractZipToDir (zlib.dll) on the launcher benchmark's ~2000-file package
//     against `unzip -o -q`, each replacing an existing installation;
//   the job's MD5 pass (Md5OfFile) over a 256 MiB file against `md5sum`,
//     with the file in the page cache for both;
//   the job's verification of a 100 MiB package with SHA-256 (on a second
//     thread) and a signature (test-only key A) added, against its MD5
//     alone, both in one read of the file as after a download whose prefix
//     could not be followed.
//
//   tavlin_bench_job WORKDIR [RUNS]
//
// WORKDIR must hold the unpack benchmark's package-<version>.zip (tavlin_bench_unpack makes it;
// bench/job/run_job.sh sees to that).
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "bench_tree.h"
#include "bench_util.h"
#include "bench_process.h"
#include "child_process.h"
#include "download/DownloadDigest.h"
#include "download/PackageCheck.h"
#include "signing/PackageSignature.h"
#include "platform/text.h"
#include "zlibdll/ExtractZipToDir.h"

namespace fs = std::filesystem;
using namespace tavlin_bench;

namespace {

constexpr size_t kDigestFileBytes = 256u << 20;
constexpr size_t kPackageBytes = 100u << 20;

struct Contender {
    std::string label;
    std::function<double()> run;  // one timed run, in milliseconds
    std::vector<double> samples;
};

void MakeDigestFile(const std::string& path, size_t bytes = kDigestFileBytes) {
    if (fs::exists(path) && fs::file_size(path) == bytes) return;
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 20, '\0');
    uint64_t x = 88172645463325252ull;
    for (size_t done = 0; done < bytes; done += block.size()) {
        for (char& c : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            c = static_cast<char>(x);
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    if (!out) Die("cannot write " + path);
}

void Report(const char* title, std::vector<Contender>& contenders) {
    std::printf("\n%s\n%-22s %10s %10s %10s %10s\n", title, "", "median ms", "min ms", "max ms", "vs tool");
    const double reference = Summarise(contenders.back().samples).median;
    for (const Contender& c : contenders) {
        Stats s = Summarise(c.samples);
        std::printf("%-22s %10.1f %10.1f %10.1f %9.2fx\n", c.label.c_str(), s.median, s.min, s.max,
                    s.median / reference);
    }
}

// Each contender once untimed, then `runs` rounds in rotating order.
void Measure(std::vector<Contender>& contenders, int runs) {
    for (Contender& c : contenders) c.run();
    for (int round = 0; round < runs; ++round)
        for (size_t k = 0; k < contenders.size(); ++k) {
            Contender& c = contenders[(k + static_cast<size_t>(round)) % contenders.size()];
            ::sync();
            c.samples.push_back(c.run());
        }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) Die("usage: tavlin_bench_job WORKDIR [RUNS]");
    const std::string work = fs::absolute(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::string package = work + "/package-" + tavlin_bench::kPackageVersion + ".zip";
    if (!fs::exists(package)) Die(package + " is missing: run tavlin_bench_unpack " + work + " first");
    const std::string unzip = tavlin_test::FindProgram("unzip");
    const std::string md5sum = tavlin_test::FindProgram("md5sum");
    if (unzip.empty() || md5sum.empty()) Die("unzip and md5sum are needed");

    // ExtractZipToDir gets the shipped layout: target X, package in X/app/temp.
    const std::string ours = work + "/job-extract/X";
    const std::string theirs = work + "/job-unzip";
    fs::remove_all(work + "/job-extract");
    fs::remove_all(theirs);
    fs::create_directories(ours + "/app/temp");
    fs::copy_file(package, ours + "/app/temp/update.zip");
    const std::u16string widePackage = platform::Utf8ToUtf16(ours + "/app/temp/update.zip");
    const std::u16string wideFolder = platform::Utf8ToUtf16(ours + "/");
    std::vector<Contender> extract{
        {"ExtractZipToDir", [&] {
             auto start = Clock::now();
             int result = ExtractZipToDir(widePackage.c_str(), wideFolder.c_str(), 0);
             double ms = MillisecondsSince(start);
             if (result != kExtractOk) Die("ExtractZipToDir returned " + std::to_string(result));
             return ms;
         }, {}},
        {"unzip -o -q", [&] { return TimeProgram({unzip, "-o", "-q", package, "-d", theirs}); }, {}},
    };
    Measure(extract, runs);

    const std::string digestFile = work + "/job-digest-256MiB.bin";
    MakeDigestFile(digestFile);
    std::string oursDigest, theirsDigest;
    std::vector<Contender> digest{
        {"Md5OfFile (OpenSSL)", [&] {
             auto start = Clock::now();
             oursDigest = Md5OfFile(digestFile);
             return MillisecondsSince(start);
         }, {}},
        {"md5sum", [&] { return TimeProgram({md5sum, digestFile}, tavlin_test::Environment::Inherit(), &theirsDigest); }, {}},
    };
    Measure(digest, runs);
    if (oursDigest.empty() || theirsDigest.compare(0, 32, oursDigest) != 0)
        Die("the digests differ: " + oursDigest + " and " + theirsDigest.substr(0, 32));

    // The package's check as the job makes it, the keys and signature
    // prepared beforehand as the program and the job have them.
    const std::string packageFile = work + "/job-package-100MiB.bin";
    MakeDigestFile(packageFile, kPackageBytes);
    auto readText = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const std::string keysDir = TAVLIN_TEST_KEYS_DIR;
    std::string error;
    auto keys = tavlin::signing::TrustedKeys::FromPem(readText(keysDir + "/test-only-key-a.pub.pem"), error);
    if (!keys) Die("test key: " + error);
    const PackageDigests reference = DigestsOfFile(packageFile, true);
    PackageExpectations withChecks{reference.md5, reference.sha256, {}};
    if (!tavlin::signing::SignStatement(readText(keysDir + "/test-only-key-a.pem"),
                                        tavlin::signing::SignedStatement(reference.sha256, reference.bytes),
                                        withChecks.signature, error))
        Die("signing: " + error);
    const PackageExpectations md5Only{reference.md5, {}, {}};
    std::vector<Contender> verify{
        {"MD5 + SHA-256 + sig", [&] {
             auto start = Clock::now();
             const PackageDigests d = DigestsOfFile(packageFile, NeedsSha256(withChecks, &*keys));
             const PackageVerdict verdict = CheckPackage(d, withChecks, &*keys);
             const double ms = MillisecondsSince(start);
             if (verdict != PackageVerdict::Accepted) Die(std::string("not accepted: ") + VerdictText(verdict));
             return ms;
         }, {}},
        {"MD5 alone", [&] {
             auto start = Clock::now();
             const PackageDigests d = DigestsOfFile(packageFile, NeedsSha256(md5Only, nullptr));
             const PackageVerdict verdict = CheckPackage(d, md5Only, nullptr);
             const double ms = MillisecondsSince(start);
             if (verdict != PackageVerdict::Accepted) Die("MD5 not accepted");
             return ms;
         }, {}},
    };
    Measure(verify, runs);

    std::printf("%d timed runs each after one untimed run; ratios are medians divided by the last row's\n", runs);
    Report("unpacking the ~2000-file package over an installation", extract);
    Report("MD5 of 256 MiB (page cache warm)", digest);
    Report("verifying a 100 MiB package in one read (page cache warm)", verify);
    return 0;
}
