#include "platform/url_scheme.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/spawn.h"
#include "platform/unique_fd.h"

namespace platform {

namespace {

std::string HomeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

// An XDG base folder: the variable when it holds an absolute path (relative
// ones are invalid and ignored), else HOME + fallback.
std::string XdgDir(const char* var, const char* fallback) {
    if (const char* v = std::getenv(var); v && v[0] == '/') return v;
    std::string home = HomeDir();
    return home.empty() ? std::string() : home + fallback;
}

bool MakeDirs(const std::string& path) {
    if (path.empty()) return false;
    for (size_t pos = 1;; ++pos) {
        pos = path.find('/', pos);
        std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (pos == std::string::npos) break;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The value escapes of the desktop-entry string type.
std::string EscapeValue(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

bool WriteAll(int fd, const std::string& data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// Writes `data` to a temporary file beside `path` and renames it over, so a
// reader sees the old or the new file, never a part. A symbolic link at
// `path` (a managed dotfile) is kept and its target replaced.
bool WriteFileAtomic(std::string path, const std::string& data) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (!::realpath(path.c_str(), resolved)) return false;
        path = resolved;
    }
    // A file the user made private stays private.
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0644;
    std::string tmpl = path + ".XXXXXX";
    UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (!fd) return false;
    bool ok = ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), data);
    fd.reset();
    if (ok && ::rename(tmpl.c_str(), path.c_str()) == 0) return true;
    ::unlink(tmpl.c_str());
    return false;
}

bool ReadFile(const std::string& path, std::string& out) {
    out.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errno == ENOENT;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

std::string Trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return std::string(s.substr(b, e - b + 1));
}

// Sets key=value in every [Default Applications] group of a mimeapps.list,
// adding the key (and the group) when missing; every other line is kept as
// it was.
std::string SetDefaultApplication(const std::string& text, const std::string& key, const std::string& value) {
    const std::string group = "[Default Applications]";
    const std::string entry = key + "=" + value;
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }

    bool inGroup = false;
    bool found = false;
    long firstGroup = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string t = Trim(lines[i]);
        if (!t.empty() && t.front() == '[') {
            inGroup = t == group;
            if (inGroup && firstGroup < 0) firstGroup = static_cast<long>(i);
            continue;
        }
        size_t eq = t.find('=');
        if (inGroup && eq != std::string::npos && Trim(t.substr(0, eq)) == key) {
            lines[i] = entry;
            found = true;
        }
    }
    if (!found) {
        if (firstGroup >= 0) {
            lines.insert(lines.begin() + firstGroup + 1, entry);
        } else {
            if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back("");
            lines.push_back(group);
            lines.push_back(entry);
        }
    }
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

bool ValidScheme(const std::string& s) {
    if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

bool ValidDesktopId(const std::string& id) {
    return id.size() > 8 && id.ends_with(".desktop") && id.find('/') == std::string::npos;
}

// Refreshes the MIME cache of the folder, as package tools do after adding
// an entry. Optional, and not waited for: the caller is often a program
// that is about to start something else, and the cache matters only to
// later lookups. A missing tool changes nothing for us.
void UpdateDesktopDatabase(const std::string& folder) {
    StartDetachedFromPath("update-desktop-database", {folder});
}

// Writes `data` to `path` unless the file already holds exactly that, so an
// unchanged registration leaves the file (and its watchers) alone. True when
// the file holds `data` afterwards; `written` tells whether it was written.
bool WriteIfChanged(const std::string& path, const std::string& data, bool& written) {
    written = false;
    std::string current;
    if (ReadFile(path, current) && current == data) {
        struct stat st {};
        // Only a complete file counts: ReadFile reads a missing one as empty.
        if (!data.empty() || ::stat(path.c_str(), &st) == 0) return true;
    }
    written = true;
    return WriteFileAtomic(path, data);
}

}  // namespace

std::string DesktopExecQuote(const std::string& arg) {
    std::string out = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        // '%' starts a field code anywhere in Exec, quoted or not.
        if (c == '%') out += '%';
        out += c;
    }
    out += '"';
    return out;
}

bool RegisterUrlScheme(const std::string& scheme, const std::string& desktopId,
                       const std::string& name, const std::string& execLine) {
    if (!ValidScheme(scheme) || !ValidDesktopId(desktopId) || execLine.empty()) return false;
    std::string dataHome = XdgDir("XDG_DATA_HOME", "/.local/share");
    std::string configHome = XdgDir("XDG_CONFIG_HOME", "/.config");
    if (dataHome.empty() || configHome.empty()) return false;

    std::string appDir = dataHome + "/applications";
    std::string mime = "x-scheme-handler/" + scheme;
    std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=" + EscapeValue(name) + "\n"
        "Exec=" + EscapeValue(execLine) + "\n"
        "MimeType=" + mime + ";\n"
        "NoDisplay=true\n"
        "Terminal=false\n";
    // Folders are made only when a file is missing: an unchanged
    // registration costs two reads.
    const std::string entryPath = appDir + "/" + desktopId;
    bool entryWritten = false;
    if (!WriteIfChanged(entryPath, entry, entryWritten) &&
        (!MakeDirs(appDir) || !WriteFileAtomic(entryPath, entry)))
        return false;

    std::string listPath = configHome + "/mimeapps.list";
    std::string list;
    if (!ReadFile(listPath, list)) return false;
    bool listWritten = false;
    const std::string newList = SetDefaultApplication(list, mime, desktopId);
    if (!WriteIfChanged(listPath, newList, listWritten) &&
        (!MakeDirs(configHome) || !WriteFileAtomic(listPath, newList)))
        return false;

    if (entryWritten) UpdateDesktopDatabase(appDir);
    return true;
}

}  // namespace platform
