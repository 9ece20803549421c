#include "download/DownloadOutcome.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>
#include <vector>

namespace {

bool StartsWithNoCase(const char* text, size_t size, const char* prefix) {
    size_t n = std::strlen(prefix);
    return size >= n && strncasecmp(text, prefix, n) == 0;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The number at `at` in a header line, after spaces and tabs; -1 when none.
// A '+' before it is read as libcurl reads it.
int64_t NumberAt(const std::string& line, size_t at) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at < line.size() && line[at] == '+') ++at;
    if (at >= line.size() || line[at] < '0' || line[at] > '9') return -1;
    return std::strtoll(line.c_str() + at, nullptr, 10);
}

// Every number of a Content-Length value ("600", or a list "600, 600" that
// a proxy joined), in `lengths`.
void ReadLengths(const std::string& value, std::vector<int64_t>* lengths) {
    for (size_t at = 0; at <= value.size();) {
        size_t comma = std::min(value.find(',', at), value.size());
        lengths->push_back(NumberAt(value.substr(at, comma - at), 0));
        at = comma + 1;
    }
}

}  // namespace

void NoteResponseHeader(ResponseCheck& check, const char* data, size_t size) {
    std::string line(data, size);
    if (StartsWithNoCase(data, size, "HTTP/")) {
        // A new response (after a redirect, or the first): forget the last.
        int64_t askedFrom = check.askedFrom;
        check = ResponseCheck{};
        check.askedFrom = askedFrom;
        size_t space = line.find(' ');
        check.status = space == std::string::npos ? 0 : static_cast<long>(NumberAt(line, space));
    } else if (StartsWithNoCase(data, size, "content-range:")) {
        // The unit is named in any case, after any blanks.
        size_t bytes = 14;
        while (bytes < line.size() && IsBlank(line[bytes])) ++bytes;
        if (!StartsWithNoCase(line.c_str() + bytes, line.size() - bytes, "bytes")) return;
        const int64_t first = NumberAt(line, bytes + 5);
        size_t dash = line.find('-', bytes);
        const int64_t last = dash == std::string::npos ? -1 : NumberAt(line, dash + 1);
        size_t slash = line.find('/', bytes);
        const int64_t total = slash == std::string::npos ? -1 : NumberAt(line, slash + 1);
        // A second Content-Range that names other bytes: which ones the body
        // holds is anyone's guess.
        const bool seen = check.rangeFirst >= 0 || check.rangeLast >= 0 || check.rangeTotal >= 0;
        if (seen && (first != check.rangeFirst || last != check.rangeLast || total != check.rangeTotal))
            check.conflicting = true;
        check.rangeFirst = first;
        check.rangeLast = last;
        check.rangeTotal = total;
    } else if (StartsWithNoCase(data, size, "content-length:")) {
        // Lengths that disagree (two headers, or a list) leave the body's
        // end unknown: libcurl reads as far as one of them says.
        std::vector<int64_t> lengths;
        ReadLengths(line.substr(15), &lengths);
        for (int64_t length : lengths) {
            if (length >= 0 && check.contentLength >= 0 && length != check.contentLength) check.conflicting = true;
            if (length >= 0) check.contentLength = length;
        }
        if (lengths.front() < 0) check.contentLength = -1;
    } else if (StartsWithNoCase(data, size, "retry-after:")) {
        check.retryAfter = line.substr(12);
    } else {
        NoteVersionHeader(check.version, data, size);
    }
}

ResponseCheck::Verdict JudgeBody(const ResponseCheck& check, uint32_t fileSize, const FileVersion& version) {
    using Verdict = ResponseCheck::Verdict;
    if (check.status < 200 || check.status > 299) return Verdict::Refused;
    if (check.conflicting) return Verdict::Unusable;
    if (check.version.DiffersFrom(version)) {
        // A plain answer is the whole file from its first byte, and a single
        // connection starts every attempt there: of the probed length it
        // mixes with nothing (the same file under another node's validator).
        const bool wholeOfTheLength = check.askedFrom < 0 && check.status == 200 && check.contentLength == fileSize;
        if (!wholeOfTheLength) return Verdict::OtherVersion;
    }
    if (check.askedFrom >= 0) {
        if (check.status == 206) {
            if (check.rangeTotal >= 0 && check.rangeTotal != fileSize) return Verdict::OtherVersion;
            if (check.rangeLast < check.rangeFirst) return Verdict::Unusable;
            return check.rangeFirst == check.askedFrom ? Verdict::Accepted : Verdict::Unusable;
        }
        // The whole file instead of a part: of another length it is another
        // version; otherwise a server that does not honour this range.
        if (check.status == 200 && check.contentLength >= 0 && check.contentLength != fileSize)
            return Verdict::OtherVersion;
        return Verdict::Unusable;
    }
    if (check.status != 200) return Verdict::Unusable;
    if (check.contentLength >= 0 && check.contentLength != fileSize) return Verdict::OtherVersion;
    return Verdict::Accepted;
}

AttemptVerdict JudgeAttempt(CURLcode result, long status) {
    switch (result) {
        case CURLE_OK:
        case CURLE_WRITE_ERROR:  // the engine refused the body; the status says why
            break;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_NOT_BUILT_IN:
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_LOGIN_DENIED:
        case CURLE_FILESIZE_EXCEEDED:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_OUT_OF_MEMORY:
        case CURLE_FAILED_INIT:
            return AttemptVerdict::Refuse;
        default:
            return AttemptVerdict::Retry;
    }
    if (status >= 400 && status <= 499 && status != 408 && status != 429) return AttemptVerdict::Refuse;
    return AttemptVerdict::Retry;
}

bool AddressUsable(const std::string& address) {
    // libcurl reads "http:///f.zip" as the host "f.zip"; an address whose
    // authority is empty is malformed, whatever a lenient parser makes of it.
    size_t marker = address.find("://");
    if (marker == std::string::npos || marker + 3 >= address.size() || address[marker + 3] == '/') return false;
    CURLU* parsed = curl_url();
    if (!parsed) return false;
    bool usable = false;
    if (curl_url_set(parsed, CURLUPART_URL, address.c_str(), 0) == CURLUE_OK) {
        char* scheme = nullptr;
        char* host = nullptr;
        char* port = nullptr;
        if (curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK)
            usable = (strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0) && *host != '\0';
        // libcurl takes port 0 and then fails to connect like a server that
        // is down, which would be retried for good; nothing ever listens there.
        if (usable && curl_url_get(parsed, CURLUPART_PORT, &port, 0) == CURLUE_OK)
            usable = std::strtol(port, nullptr, 10) != 0;
        curl_free(scheme);
        curl_free(host);
        curl_free(port);
    }
    curl_url_cleanup(parsed);
    return usable;
}

uint32_t RetryAfterMs(std::string_view value, uint32_t capMs) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.remove_suffix(1);
    if (value.empty()) return 0;
    uint64_t ms = 0;
    if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        uint64_t seconds = 0;
        for (char c : value) {
            seconds = seconds * 10 + static_cast<uint64_t>(c - '0');
            if (seconds > capMs) break;  // already past any cap
        }
        ms = seconds * 1000;
    } else {
        time_t when = curl_getdate(std::string(value).c_str(), nullptr);
        if (when < 0) return 0;
        time_t now = std::time(nullptr);
        ms = when > now ? static_cast<uint64_t>(when - now) * 1000 : 0;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(ms, capMs));
}
