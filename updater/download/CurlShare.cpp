#include "download/CurlShare.h"

#include <mutex>

CURLSH* curlShare = nullptr;

namespace {

std::mutex shareLocks[CURL_LOCK_DATA_LAST];

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void*) {
    shareLocks[data < CURL_LOCK_DATA_LAST ? data : 0].lock();
}

void UnlockShare(CURL*, curl_lock_data data, void*) {
    shareLocks[data < CURL_LOCK_DATA_LAST ? data : 0].unlock();
}

}  // namespace

bool InitCurlShare() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return;
        CURLSH* share = curl_share_init();
        if (!share) return;
        if (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, LockShare) != CURLSHE_OK ||
            curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, UnlockShare) != CURLSHE_OK ||
            curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK) {
            curl_share_cleanup(share);
            return;
        }
        curlShare = share;
        ok = true;
    });
    return ok;
}
