#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "temp_dir.h"

namespace tavlin_test {

TempDir::TempDir(const std::string& prefix, const std::string& in) {
    const char* env = std::getenv("TMPDIR");
    const std::string base = !in.empty() ? in : env && *env ? env : "/tmp";
    std::string pattern = base + "/" + prefix + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buf.data();
}

}  // namespace tavlin_test
