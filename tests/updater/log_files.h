// Reading the updater's log files back in tests.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace updater_test {

// <stateHome>/vrek/logs/Updater/<program>
std::string LogFolder(const std::string& stateHome, const std::string& program);

// Paths of the files <name>_<stamp>.log in `folder`, in stamp order.
std::vector<std::string> LogFiles(const std::string& folder, const std::string& name);

// The lines of `text`, each without its "\n"; a last line without "\n" is
// kept as it is.
std::vector<std::string> SplitLines(const std::string& text);

struct Record {
    std::string time, level, source, line, function, message;
};

// Splits one log line at its first five "|"; false when it has fewer.
bool ParseRecord(const std::string& line, Record& record);

// True when `text` has the shape "MM dd yyyy HH:mm:ss"; fills `local`
// (tm_isdst -1, ready for mktime).
bool ParseLogTime(const std::string& text, tm& local);

// The messages of the records in `lines` whose function is `function`.
std::vector<std::string> MessagesOf(const std::vector<std::string>& lines, const std::string& function);

}  // namespace updater_test
