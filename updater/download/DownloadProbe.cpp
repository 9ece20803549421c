// Server probing: the file's length, range support, https options, and the
// pause-aware wait every retry loop of the engine uses.
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "download/CurlDownload.h"
#include "download/DownloadFile.h"
#include "download/DownloadLog.h"
#include "download/DownloadOutcome.h"
#include "download/DownloadTokens.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/module.h"

namespace {

constexpr const char* kDownloadInit = "CurlDownloader::DownloadInit";
constexpr const char* kCheckFileLength = "CurlDownloader::CheckFileLength";
constexpr const char* kCheckIsSupportRange = "CurlDownloader::CheckIsSupportRange";
constexpr const char* kCheckIsSupportRangeEx = "CurlDownloader::CheckIsSupportRangeEx";
constexpr const char* kCheckSSL = "CurlDownloader::CheckSSL";
constexpr const char* kSleepEx = "CurlDownloader::SleepEx";

constexpr long kDnsCacheSeconds = 300;

// Every request and every redirect of the engine stays on http and https.
constexpr const char* kProtocols = "http,https";

// The program's folder without its trailing "/", found once.
const std::string& ProgramFolder() {
    static const std::string folder = [] {
        std::string path;
        if (!platform::GetModuleFolder(path)) return std::string();
        if (!path.empty() && path.back() == '/') path.pop_back();
        return path;
    }();
    return folder;
}

size_t NoteProbeHeader(char* data, size_t size, size_t count, void* check) {
    NoteResponseHeader(*static_cast<ResponseCheck*>(check), data, size * count);
    return size * count;
}

struct EasyHandle {
    CURL* handle = curl_easy_init();
    ~EasyHandle() {
        if (handle) curl_easy_cleanup(handle);
    }
};

}  // namespace

size_t AppendHeader(char* data, size_t size, size_t count, void* text) {
    static_cast<std::string*>(text)->append(data, size * count);
    return size * count;
}

int CurlDownloader::ProgressCheck(void* engine, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    // libcurl calls this at least once a second even on a silent
    // connection, so a pause never waits for the server.
    return static_cast<CurlDownloader*>(engine)->Stopping() ? 1 : 0;
}

bool CurlDownloader::ApplyCommonOptions(CURL* handle) {
    return curl_easy_setopt(handle, CURLOPT_SHARE, curlShare) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_DNS_CACHE_TIMEOUT, kDnsCacheSeconds) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, kProtocols) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, hooks.stallSeconds) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, ConnectTimeoutSeconds()) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &CurlDownloader::ProgressCheck) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
}

bool CurlDownloader::DownloadInit() {
    uint32_t begin = platform::GetTickCount();
    DOWNLOAD_LOG(kDownloadInit, ENGINE_PTR " DownloadInit begin", ENGINE_ADDR(this));
    bool ok = CheckFileLength() && CheckIsSupportRange() && (!IsMutilDonwload || CheckIsSupportRangeEx());
    if (!ok) return false;
    if (singleConnection) IsMutilDonwload = false;
    // Every ranged request asks for the probed version only: another one
    // answers with the whole file, which the segments refuse.
    if (ifRangeHeader) curl_slist_free_all(ifRangeHeader);
    ifRangeHeader = nullptr;
    if (IsMutilDonwload && version.Known()) {
        ifRangeHeader = curl_slist_append(nullptr, ("If-Range: " + version.IfRange()).c_str());
        if (!ifRangeHeader) {
            Stop(DownloadEnd::LocalError, false);
            return false;
        }
    }
    DOWNLOAD_LOG(kDownloadInit, ENGINE_PTR " DownloadInit end, IsMutilDonwload: %d, FileSize: %uB, Take time=%d",
                 ENGINE_ADDR(this), IsMutilDonwload ? 1 : 0, FileSize.load(),
                 static_cast<int>(platform::GetTickCount() - begin));
    if (FileSize == 0) Stop(DownloadEnd::Refused, false);
    return FileSize != 0;
}

namespace {

// The probe follows redirects itself, every kind the segments' requests
// follow (a 307 left unfollowed would only be retried until it fails).
bool IsRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

bool CurlDownloader::CheckFileLength() {
    uint32_t begin = platform::GetTickCount();
    for (int32_t retryCount = 0;;) {
        // Every attempt starts from url: a redirect found by a failed one is forgotten.
        std::string address = url;
        EasyHandle easy;
        CURL* handle = easy.handle;
        ResponseCheck answer;
        long status = 0;
        CURLcode result = CURLE_FAILED_INIT;
        curl_off_t length = -1;
        bool refused = false;
        int redirects = 0;

        // The probe reads no body, not even a redirect's: a connection it
        // leaves may still have one coming, which the next hop would read
        // as its answer (libcurl then refuses it as HTTP/0.9).
        if (!handle || !ApplyCommonOptions(handle) ||
            curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L) != CURLE_OK) {
            Stop(DownloadEnd::LocalError, false);
            return false;
        }
        for (;;) {
            if (Stopping()) {
                DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 遭到暂停", ENGINE_ADDR(this));
                return false;
            }
            if (!AddressUsable(address)) {
                DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 地址不可用: %s", ENGINE_ADDR(this), address.c_str());
                Stop(DownloadEnd::Refused, false);
                return false;
            }
            if (!CheckSSL(handle, address)) {
                Stop(DownloadEnd::Refused, false);
                return false;
            }
            answer = ResponseCheck{};
            bool set = curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "GET") == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_URL, address.c_str()) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_HEADER, 1L) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_NOBODY, 1L) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &NoteProbeHeader) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_HEADERDATA, &answer) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(CurlDownloadConfig.timeout)) ==
                           CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CurlDownloader::WriteData) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr) == CURLE_OK;
            if (!set) {
                // A malformed address is refused by the option itself.
                Stop(DownloadEnd::Refused, false);
                return false;
            }
            status = 0;
            result = curl_easy_perform(handle);
            if (result != CURLE_OK) {
                char text[260];
                std::snprintf(text, sizeof text, ENGINE_PTR ", 获取文件长度失败, CURLcode=%d", ENGINE_ADDR(this),
                              static_cast<int>(result));
                DOWNLOAD_LOG(kCheckFileLength, "%s", text);
                platform::OutputDebugStringA(text);
                break;
            }
            curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
            if (IsRedirect(status)) {
                char* target = nullptr;
                curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &target);
                if (!target || !*target) {
                    DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 重定向应答(HttpCode: %ld)没有目标地址",
                                 ENGINE_ADDR(this), status);
                    break;
                }
                DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 遇到重定向，RedirectUrl: %s", ENGINE_ADDR(this), target);
                if (!AddressUsable(target)) {
                    DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 拒绝重定向到http和https以外的地址: %s",
                                 ENGINE_ADDR(this), target);
                    refused = true;
                    break;
                }
                if (++redirects > kMaxRedirects) {
                    DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 重定向超过%d次", ENGINE_ADDR(this), kMaxRedirects);
                    refused = true;
                    break;
                }
                address = target;
                continue;
            }
            if (status >= 200 && status <= 299) {
                if (status != 200)
                    DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", HttpCode: %d", ENGINE_ADDR(this),
                                 static_cast<int>(status));
                curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
                // Lengths that disagree name no file: libcurl took the last
                // one, and a plain answer would be read only that far.
                if (length >= 0 && (answer.conflicting || answer.contentLength != length)) {
                    DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 应答的文件长度不一致，不可用", ENGINE_ADDR(this));
                    length = -1;
                }
            }
            break;
        }

        if (length > 0) {
            if (static_cast<uint64_t>(length) > kMaxRemoteFileSize) {
                DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 文件长度%lld字节超出上限%llu字节(4GB)，不能下载",
                             ENGINE_ADDR(this), static_cast<long long>(length),
                             static_cast<unsigned long long>(kMaxRemoteFileSize));
                Stop(DownloadEnd::Refused, false);
                return false;
            }
            if (retryCount != 0)
                DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 获取文件长度成功，重试次数：%d", ENGINE_ADDR(this),
                             retryCount);
            url = address;
            version = answer.version;
            FileSize = static_cast<uint32_t>(length);
            return true;
        }
        if (Stopping()) {
            DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 遭到暂停", ENGINE_ADDR(this));
            return false;
        }
        if (refused || JudgeAttempt(result, status) == AttemptVerdict::Refuse) {
            DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 获取文件长度被拒绝，不再重试, LastHttpCode:%d, CURLcode:%d",
                         ENGINE_ADDR(this), static_cast<int>(status), static_cast<int>(result));
            Stop(DownloadEnd::Refused, false);
            return false;
        }
        // A lost network is not retried: the owner resumes once it is back.
        if (!NetworkAlive()) {
            DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 网络不可用，获取文件长度失败", ENGINE_ADDR(this));
            Stop(DownloadEnd::NetworkLost, false);
            return false;
        }
        if (retryCount >= CurlDownloadConfig.unproductiveLimit) {
            DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 重试获取文件长度失败, LastHttpCode:%d", ENGINE_ADDR(this),
                         static_cast<int>(status));
            DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", end, Take time=%d", ENGINE_ADDR(this),
                         static_cast<int>(platform::GetTickCount() - begin));
            Stop(DownloadEnd::GaveUp, false);
            return false;
        }
        ++retryCount;
        DOWNLOAD_LOG(kCheckFileLength, ENGINE_PTR ", 获取文件长度失败, lastHttpCode:%d, CURLcode:%d, 尝试第%d次重试",
                     ENGINE_ADDR(this), static_cast<int>(status), static_cast<int>(result), retryCount);
        uint32_t asked = RetryAfterMs(answer.retryAfter, kMaxRetryDelayMs);
        SleepEx(asked ? asked : RetryDelayMs(retryCount));
    }
}

bool CurlDownloader::CheckIsSupportRange() {
    if (FileSize == 0) return true;
    for (int32_t retryCount = 0;;) {
        if (Stopping()) {
            DOWNLOAD_LOG(kCheckIsSupportRange, ENGINE_PTR ", 遭到暂停", ENGINE_ADDR(this));
            return false;
        }
        ResponseCheck answer;
        CURLcode result = CURLE_FAILED_INIT;
        {
            EasyHandle easy;
            CURL* handle = easy.handle;
            if (!handle || !ApplyCommonOptions(handle) || !CheckSSL(handle, url)) {
                Stop(DownloadEnd::LocalError, false);
                return false;
            }
            bool set = curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_HEADER, 1L) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_NOBODY, 1L) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_HEADERDATA, &answer) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &NoteProbeHeader) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_RANGE, "0-") == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(CurlDownloadConfig.timeout)) ==
                           CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CurlDownloader::WriteData) == CURLE_OK &&
                       curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr) == CURLE_OK;
            if (!set) {
                Stop(DownloadEnd::LocalError, false);
                return false;
            }
            result = curl_easy_perform(handle);
        }
        if (result == CURLE_OK) {
            const long status = answer.status;
            if (status >= 200 && status <= 299) {
                // Read as the segments read it: a part they could use.
                IsMutilDonwload = answer.rangeFirst >= 0;
                return true;
            }
            // A busy server, or one that answers HEAD otherwise than GET (405,
            // a 403 for an address signed for GET only, 501), says nothing
            // about ranges: read as "no ranges", it would cost a resumed
            // download its file. The second probe, a ranged GET, decides.
            DOWNLOAD_LOG(kCheckIsSupportRange, ENGINE_PTR ", 分段探测应答HttpCode:%ld，由第二次探测判断",
                         ENGINE_ADDR(this), status);
            IsMutilDonwload = true;
            return true;
        }
        if (Stopping()) continue;
        if (JudgeAttempt(result, 0) == AttemptVerdict::Refuse) {
            Stop(DownloadEnd::Refused, false);
            return false;
        }
        if (!NetworkAlive()) {
            Stop(DownloadEnd::NetworkLost, false);
            return false;
        }
        if (retryCount >= CurlDownloadConfig.unproductiveLimit) return RangeProbesExhausted(kCheckIsSupportRange);
        ++retryCount;
        DOWNLOAD_LOG(kCheckIsSupportRange, ENGINE_PTR ", 判断是否支持多线程失败, CURLcode:%d, 尝试第%d次重试",
                     ENGINE_ADDR(this), static_cast<int>(result), retryCount);
        SleepEx(RetryDelayMs(retryCount));
    }
}

bool CurlDownloader::CheckIsSupportRangeEx() {
    if (FileSize == 0) {
        IsMutilDonwload = false;
        return true;
    }
    int32_t limit = FileSize > 1024 ? 1024 : static_cast<int32_t>(FileSize / 2);
    char range[32];
    std::snprintf(range, sizeof range, "1-%d", limit);
    for (int32_t retryCount = 0;;) {
        if (Stopping()) {
            DOWNLOAD_LOG(kCheckIsSupportRangeEx, ENGINE_PTR ", 遭到暂停", ENGINE_ADDR(this));
            return false;
        }
        EasyHandle easy;
        CURL* handle = easy.handle;
        if (!handle || !ApplyCommonOptions(handle) || !CheckSSL(handle, url)) {
            Stop(DownloadEnd::LocalError, false);
            return false;
        }
        auto token = std::make_unique<RangeTestToken>(limit);
        ResponseCheck answer;  // for its Retry-After
        bool set = curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK &&
                   curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &NoteProbeHeader) == CURLE_OK &&
                   curl_easy_setopt(handle, CURLOPT_HEADERDATA, &answer) == CURLE_OK &&
                   curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CurlDownloader::WriteData) == CURLE_OK &&
                   curl_easy_setopt(handle, CURLOPT_WRITEDATA, token->text) == CURLE_OK &&
                   curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
                   curl_easy_setopt(handle, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects)) == CURLE_OK &&
                   curl_easy_setopt(handle, CURLOPT_RANGE, range) == CURLE_OK;
        if (!set) {
            Stop(DownloadEnd::LocalError, false);
            return false;
        }
        CURLcode result = curl_easy_perform(handle);
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        if (Stopping()) continue;
        // More than the small range asked for: the server sends whole files.
        if (token->counter > limit) {
            IsMutilDonwload = false;
            return true;
        }
        if (result == CURLE_OK && status >= 200 && status <= 299) {
            IsMutilDonwload = true;
            return true;
        }
        AttemptVerdict verdict = JudgeAttempt(result, status);
        if (verdict == AttemptVerdict::Refuse && result != CURLE_OK) {
            Stop(DownloadEnd::Refused, false);
            return false;
        }
        // A client error to the range alone: ranges are not for this server.
        if (verdict == AttemptVerdict::Refuse) {
            IsMutilDonwload = false;
            return true;
        }
        if (!NetworkAlive()) {
            Stop(DownloadEnd::NetworkLost, false);
            return false;
        }
        if (retryCount >= CurlDownloadConfig.unproductiveLimit) return RangeProbesExhausted(kCheckIsSupportRangeEx);
        ++retryCount;
        DOWNLOAD_LOG(kCheckIsSupportRangeEx, ENGINE_PTR ", 判断是否支持多线程失败, HttpCode:%ld, CURLcode:%d, 尝试第%d次重试",
                     ENGINE_ADDR(this), status, static_cast<int>(result), retryCount);
        uint32_t asked = RetryAfterMs(answer.retryAfter, kMaxRetryDelayMs);
        SleepEx(asked ? asked : RetryDelayMs(retryCount));
    }
}

bool CurlDownloader::RangeProbesExhausted(const char* function) {
    // A resumed download's parts need ranges: giving them up for a server
    // that only failed to answer would throw its progress away.
    if (resuming) {
        DOWNLOAD_LOG(function, ENGINE_PTR ", 判断是否支持多线程失败，保留临时文件", ENGINE_ADDR(this));
        Stop(DownloadEnd::GaveUp, false);
        return false;
    }
    DOWNLOAD_LOG(function, ENGINE_PTR ", 判断是否支持多线程失败，默认采用单线程下载", ENGINE_ADDR(this));
    IsMutilDonwload = false;
    return true;
}

bool CurlDownloader::CheckSSL(CURL* handle, const std::string& address) const {
    if (!handle || address.empty()) return false;
    if (address.size() < 5 || strncasecmp(address.c_str(), "https", 5) != 0) return true;

    // The server's certificate is always verified (against the system's
    // store, or the hooks' bundle); a client certificate and key are used
    // only when names for them are configured.
    const std::string& folder = ProgramFolder();
    std::string certPath, keyPath;
    if (!CurlDownloadConfig.certFile.empty()) {
        certPath = folder + "/" + CurlDownloadConfig.certFile;
        if (!download_file::Exists(certPath)) {
            DOWNLOAD_LOG(kCheckSSL, "%s is not exist!", CurlDownloadConfig.certFile.c_str());
            return false;
        }
    }
    if (!CurlDownloadConfig.keyFile.empty()) {
        keyPath = folder + "/" + CurlDownloadConfig.keyFile;
        if (!download_file::Exists(keyPath)) {
            DOWNLOAD_LOG(kCheckSSL, "%s is not exist!", CurlDownloadConfig.keyFile.c_str());
            return false;
        }
    }
    return curl_easy_setopt(handle, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY)) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
           (hooks.caFile.empty() || curl_easy_setopt(handle, CURLOPT_CAINFO, hooks.caFile.c_str()) == CURLE_OK) &&
           (certPath.empty() || curl_easy_setopt(handle, CURLOPT_SSLCERT, certPath.c_str()) == CURLE_OK) &&
           (keyPath.empty() || curl_easy_setopt(handle, CURLOPT_SSLKEY, keyPath.c_str()) == CURLE_OK);
}

void CurlDownloader::SleepEx(uint32_t ms) {
    if (ms == 0) return;
    if (hooks.sleep) {
        if (Stopping()) {
            DOWNLOAD_LOG(kSleepEx, ENGINE_PTR ", 遭到暂停", ENGINE_ADDR(this));
            return;
        }
        hooks.sleep(ms);
        return;
    }
    for (uint32_t slept = 0;;) {
        if (Stopping()) {
            DOWNLOAD_LOG(kSleepEx, ENGINE_PTR ", 遭到暂停", ENGINE_ADDR(this));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        slept += 100;
        if (slept >= ms) return;
    }
}
