#include "log_files.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace fs = std::filesystem;

namespace updater_test {

std::string LogFolder(const std::string& stateHome, const std::string& program) {
    return stateHome + "/vrek/logs/Updater/" + program;
}

std::vector<std::string> LogFiles(const std::string& folder, const std::string& name) {
    std::vector<std::pair<long long, std::string>> found;
    std::error_code ec;
    const std::string prefix = name + "_";
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        std::string file = entry.path().filename().string();
        if (!file.starts_with(prefix) || !file.ends_with(".log")) continue;
        std::string stamp = file.substr(prefix.size(), file.size() - prefix.size() - 4);
        found.emplace_back(std::strtoll(stamp.c_str(), nullptr, 10), entry.path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool ParseRecord(const std::string& line, Record& record) {
    std::string* fields[] = {&record.time, &record.level, &record.source, &record.line, &record.function};
    size_t start = 0;
    for (std::string* field : fields) {
        size_t bar = line.find('|', start);
        if (bar == std::string::npos) return false;
        *field = line.substr(start, bar - start);
        start = bar + 1;
    }
    record.message = line.substr(start);
    return true;
}

bool ParseLogTime(const std::string& text, tm& local) {
    static const char shape[] = "00 00 0000 00:00:00";
    if (text.size() != sizeof shape - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '0' ? !digit : text[i] != shape[i]) return false;
    }
    auto number = [&](size_t at, size_t length) { return std::stoi(text.substr(at, length)); };
    local = tm{};
    local.tm_mon = number(0, 2) - 1;
    local.tm_mday = number(3, 2);
    local.tm_year = number(6, 4) - 1900;
    local.tm_hour = number(11, 2);
    local.tm_min = number(14, 2);
    local.tm_sec = number(17, 2);
    local.tm_isdst = -1;
    return true;
}

std::vector<std::string> MessagesOf(const std::vector<std::string>& lines, const std::string& function) {
    std::vector<std::string> messages;
    Record record;
    for (const std::string& line : lines) {
        if (ParseRecord(line, record) && record.function == function) messages.push_back(record.message);
    }
    return messages;
}

}  // namespace updater_test
