// The updater's command line as a table of switches.
//
// Grammar: "-key=value"; a value ends at the next space unless it starts with
// a double quote, then at the next double quote. Keys are stored with A-Z
// lower-cased; the first occurrence of a key wins. Malformed text yields
// fewer entries, never an error. Main thread only.
#pragma once

#include <map>
#include <string>
#include <string_view>

class CCmdLineParser {
public:
    CCmdLineParser() = default;
    // Parses `text` at once.
    explicit CCmdLineParser(std::u16string_view text);
    virtual ~CCmdLineParser() = default;

    // Replaces the table with the switches of `text`.
    void Parse(std::u16string_view text);

    // The value of `key` (looked up with A-Z lower-cased), possibly empty;
    // null when the command line did not give the key. Valid until the
    // parser is destroyed or parses again.
    const std::u16string* GetValue(std::u16string_view key) const;

private:
    std::u16string cmdLine;
    std::map<std::u16string, std::u16string> values;
};

// The command-line text a Windows program would receive for the same typed
// line: argv[1..] joined by single spaces, converted from UTF-8.
std::u16string CommandLineFromArgs(int argc, const char* const* argv);
