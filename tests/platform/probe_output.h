// Reads what the probe program wrote (see probe_main.cpp).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "child_process.h"

namespace platform_test {

struct ProbeOutput {
    std::map<std::string, std::string> items;  // last value of each key
    std::vector<std::string> args;
};

// False when the file is missing or malformed.
inline bool ReadProbe(const std::string& path, ProbeOutput& out) {
    out = {};
    std::string text = tavlin_test::ReadFileText(path);
    if (text.empty()) return false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t sp = text.find(' ', pos);
        size_t colon = text.find(':', sp);
        if (sp == std::string::npos || colon == std::string::npos) return false;
        std::string key = text.substr(pos, sp - pos);
        size_t len = std::stoul(text.substr(sp + 1, colon - sp - 1));
        if (colon + 1 + len >= text.size() + 1) return false;
        std::string value = text.substr(colon + 1, len);
        pos = colon + 1 + len + 1;
        if (key == "arg")
            out.args.push_back(value);
        else
            out.items[key] = value;
    }
    return true;
}

}  // namespace platform_test
