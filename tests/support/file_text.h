// Whole files read and written, and bounded polling: what tests need on
// every system, apart from the process helpers of child_process.h.
#pragma once

#include <functional>
#include <string>

namespace tavlin_test {

// Polls `condition` every stepMs until it holds or timeoutMs passed.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int stepMs = 20);

std::string ReadFileText(const std::string& path);  // empty when unreadable
// Creates the missing folders above `path` first.
bool WriteFileText(const std::string& path, const std::string& data);
// True for anything at `path`, a dangling link included.
bool FileExists(const std::string& path);

}  // namespace tavlin_test
