// What a server's answer can make of the engine's judgement: header lines
// (status, Content-Range, Content-Length, ETag, Last-Modified, Retry-After)
// fed one by one, the verdict on the body, the retry wait, and the version
// side file read back from arbitrary bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "download/DownloadOutcome.h"
#include "download/DownloadVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    // The first byte picks the request: ranged or not, and the file size.
    int64_t askedFrom = size > 0 && (data[0] & 1) ? static_cast<int64_t>(data[0]) * 4096 : -1;
    uint32_t fileSize = size > 0 ? 1u + static_cast<uint32_t>(data[0]) * 1000003u : 1;

    ResponseCheck check;
    check.askedFrom = askedFrom;
    size_t at = size > 0 ? 1 : 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        NoteResponseHeader(check, text.data() + at, end - at);
        at = end + 1;
    }
    FileVersion ours;
    ours.etag = "\"v1\"";
    ResponseCheck::Verdict verdict = JudgeBody(check, fileSize, ours);
    if (verdict == ResponseCheck::Verdict::Accepted) {
        // Nothing is written at another offset than the one asked for, nor
        // from a file of another length. (A Content-Range on the answer to a
        // plain request means nothing; its length is what counts.)
        if (askedFrom >= 0 && check.rangeFirst != askedFrom) std::abort();
        if (askedFrom >= 0 && check.rangeTotal >= 0 && check.rangeTotal != fileSize) std::abort();
        if (askedFrom < 0 && check.contentLength >= 0 && check.contentLength != fileSize) std::abort();
    }
    if (RetryAfterMs(check.retryAfter, 60000) > 60000) std::abort();
    (void)JudgeAttempt(static_cast<CURLcode>(size % 100), check.status);

    static const std::string path = "/tmp/tavlin-response-fuzz-" + std::to_string(::getpid());
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        FileVersion read;
        if (LoadVersionFile(path, &read) && !read.Known()) std::abort();
    }
    return 0;
}
