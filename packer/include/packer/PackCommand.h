// The tavlin-pack command: its arguments, and one run from a tree to a
// package, its digests, its signature and the updater's command line.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tavlin::packer {

struct PackRequest {
    std::string newTree;
    std::string output;
    std::string baseTree;  // empty: a full package
    std::string signKey;   // empty: unsigned
    std::string url;       // empty: a placeholder in the printed command line
    unsigned threads = 0;  // 0: one per core
};

// What the updater's command line shows where no --url was given.
inline constexpr const char* kUrlPlaceholder = "URL";

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

std::string Usage();

// The request, or nothing with `error` for a usage error. `help` is set
// for -h/--help.
std::optional<PackRequest> ParseArguments(const std::vector<std::string>& args, bool& help, std::string& error);

// Packs as asked: the report on `out`, errors and notes on `err`. Returns
// the exit status. Nothing is written when it fails.
int RunPack(const PackRequest& request, unsigned umask, std::ostream& out, std::ostream& err);

}  // namespace tavlin::packer
