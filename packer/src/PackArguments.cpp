#include <cstdlib>

#include "packer/PackCommand.h"

namespace tavlin::packer {

namespace {

constexpr unsigned kMaxThreads = 256;

// The updater reads a value up to the next space, or between double quotes.
bool UsableInCommandLine(const std::string& url) {
    for (const char c : url)
        if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == 0x7f) return false;
    return true;
}

}  // namespace

std::string Usage() {
    return "usage: tavlin-pack NEW_TREE -o PACKAGE.zip [--base OLD_TREE] [--sign KEY.pem] [--url URL] [--jobs N]\n"
           "  NEW_TREE        the installation folder's files as they should be after the update\n"
           "  -o, --output    the package to write (replaced only when the package is complete)\n"
           "  --base OLD_TREE a delta package: only what is new or differs from OLD_TREE\n"
           "  --sign KEY.pem  sign with an Ed25519 private key; writes PACKAGE.zip.sig\n"
           "  --url URL       the package's address, for the updater's command line\n"
           "  --jobs N        compress on N threads (default: one per core)\n";
}

std::optional<PackRequest> ParseArguments(const std::vector<std::string>& args, bool& help, std::string& error) {
    PackRequest request;
    help = false;
    std::vector<std::string> positional;
    bool optionsEnd = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            help = true;
            return request;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        std::string* target = nullptr;
        if (name == "-o" || name == "--output") target = &request.output;
        else if (name == "--base") target = &request.baseTree;
        else if (name == "--sign") target = &request.signKey;
        else if (name == "--url") target = &request.url;
        std::string jobs;
        if (name == "-j" || name == "--jobs") target = &jobs;
        if (!target) {
            error = "unknown option " + arg;
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (value->empty()) {
            error = name + " needs a value";
            return std::nullopt;
        }
        *target = *value;
        if (target == &jobs) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(jobs.c_str(), &end, 10);
            if (*end != '\0' || jobs[0] == '-' || n == 0 || n > kMaxThreads) {
                error = name + " takes a number of threads from 1 to " + std::to_string(kMaxThreads);
                return std::nullopt;
            }
            request.threads = static_cast<unsigned>(n);
        }
    }
    if (positional.size() != 1) {
        error = positional.empty() ? "the tree to pack is missing" : "only one tree can be packed, not " + positional[1];
        return std::nullopt;
    }
    request.newTree = positional[0];
    if (request.output.empty()) {
        error = "the package to write is missing (-o PACKAGE.zip)";
        return std::nullopt;
    }
    if (!request.url.empty() && !UsableInCommandLine(request.url)) {
        error = "the URL must not hold spaces, control characters or double quotes";
        return std::nullopt;
    }
    return request;
}

}  // namespace tavlin::packer
