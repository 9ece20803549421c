#include "unpack/Unpack.h"

namespace tavlin::unpack {

std::string DescribeFailure(const UnpackResult& result) {
    if (result.failedEntry.empty()) return result.reason;
    return "entry \"" + result.failedEntry + "\": " + result.reason;
}

std::string DescribeRecovery(const Recovery& r) {
    if (!r.found) return {};
    std::string text;
    if (r.rolledForward && !r.problems.empty())
        text = "could not finish an interrupted installation, it is tried again at the next start (" +
               std::to_string(r.files) + " files put in place now)";
    else if (r.rolledForward)
        text = "finished an interrupted installation: " + std::to_string(r.files) + " files put in place";
    else
        text = "removed an interrupted installation's staging: " + std::to_string(r.files) + " files, " +
               std::to_string(r.folders) + " folders";
    for (const std::string& p : r.problems) text += "; " + p;
    return text;
}

}  // namespace tavlin::unpack
