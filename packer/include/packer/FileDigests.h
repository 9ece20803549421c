// The MD5 and SHA-256 digests of a finished package, through OpenSSL.
#pragma once

#include <cstdint>
#include <string>

namespace tavlin::packer {

struct FileDigests {
    uint64_t size = 0;
    std::string md5;     // lowercase hex
    std::string sha256;  // lowercase hex
};

// Reads `path` once per digest, the two on threads of their own. False with
// `error` when the file cannot be read.
bool DigestFile(const std::string& path, FileDigests& digests, std::string& error);

}  // namespace tavlin::packer
