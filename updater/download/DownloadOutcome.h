// What one request's outcome means for the download: every request of the
// engine (probes and segment transfers) is judged here, in one place.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "download/DownloadVersion.h"

enum class AttemptVerdict {
    Retry,   // worth asking again: the link, the server's load, a short body
    Refuse,  // asking again cannot help: the address, the file or the peer is wrong
};

// `status` is the HTTP status of the last response (0 when none came).
// A transport error decides first; then the status: client errors other
// than 408 and 429 are refused, everything else is retried.
AttemptVerdict JudgeAttempt(CURLcode result, long status);

// Whether `address` can be asked at all: it parses, is http or https and
// names a host. What fails here is refused, never retried (libcurl takes
// "http:///f" for a host it cannot resolve, which would be retried).
bool AddressUsable(const std::string& address);

// The wait a Retry-After header value asks for (delta-seconds or an HTTP
// date), capped at `capMs`; 0 when the value is absent or unreadable.
uint32_t RetryAfterMs(std::string_view value, uint32_t capMs);

// The state a segment's response is checked against before any byte of it
// is written. Used only on the segment's own thread.
struct ResponseCheck {
    enum class Verdict {
        Pending,
        Accepted,
        Refused,       // not a success status: judged by its status
        OtherVersion,  // the file on the server is not the one being fetched
        Unusable,      // the same file, but not the bytes asked for
    };
    int64_t askedFrom = -1;   // first byte asked for; -1: no range asked
    long status = 0;          // of the last status line seen
    int64_t rangeFirst = -1;  // Content-Range "bytes FIRST-LAST/TOTAL"
    int64_t rangeLast = -1;
    int64_t rangeTotal = -1;  // -1 when absent or "*"
    int64_t contentLength = -1;
    // Content-Length or Content-Range values that disagree: where the body
    // ends, or which bytes it holds, is unknown.
    bool conflicting = false;
    FileVersion version;      // the response's validator
    std::string retryAfter;   // the response's Retry-After value
    Verdict verdict = Verdict::Pending;
};

// Reads the parts of a response header line that decide what its body may
// be written as: the status line, Content-Range, Content-Length, the
// validator and Retry-After. A status line starts a new response.
void NoteResponseHeader(ResponseCheck& check, const char* data, size_t size);

// What the first body bytes of an answer are, for a file of `fileSize`
// bytes in `version`. libcurl takes a 200 with the whole file, or a 206 at
// another offset, as an answer to a ranged request without complaint;
// writing either at the asked offset would corrupt the file.
ResponseCheck::Verdict JudgeBody(const ResponseCheck& check, uint32_t fileSize, const FileVersion& version);
