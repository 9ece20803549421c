// The files of the benchmarks' large package: about 2000 files, 110 MB, in
// nested folders: small text files, medium compressible files and a few
// large random (incompressible) files. The same every time (fixed seed).
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>

namespace tavlin_bench {

// Bump when the generated package changes, so an old one is rebuilt; the
// unpack benchmark makes package-<version>.zip and the others read it.
inline constexpr const char* kPackageVersion = "v3";

inline std::string RandomText(std::mt19937_64& rng, size_t size) {
    static const char* const words[] = {"lesson", "teacher", "student", "room",  "chat",
                                        "video",  "board",   "slide",   "audio", "class",
                                        "= ",     "{",       "}",       "\n",    "id=42"};
    std::string out;
    out.reserve(size + 16);
    while (out.size() < size) {
        out += words[rng() % std::size(words)];
        out += ' ';
    }
    out.resize(size);
    return out;
}

inline std::string RandomBytes(std::mt19937_64& rng, size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t v = rng();
        std::memcpy(&out[i], &v, 8);
    }
    return out;
}

// Calls `add` with each file's path, data, and whether a packer would
// deflate it (the random files alternate).
inline void ForEachBenchFile(const std::function<void(const std::string&, const std::string&, bool)>& add) {
    std::mt19937_64 rng(20240601);
    for (int i = 0; i < 1895; ++i) {
        std::string folder = "app/module" + std::to_string(i % 20) + "/part" + std::to_string(i % 7) + "/";
        add(folder + "text" + std::to_string(i) + ".txt", RandomText(rng, 512 + rng() % 7000), true);
    }
    for (int i = 0; i < 100; ++i)
        add("res/media" + std::to_string(i % 4) + "/asset" + std::to_string(i) + ".dat",
            RandomText(rng, 350000 + rng() % 200000), true);
    for (int i = 0; i < 5; ++i)
        add("bin/lib" + std::to_string(i) + ".so", RandomBytes(rng, 11 * 1024 * 1024), i % 2 == 0);
}

}  // namespace tavlin_bench
