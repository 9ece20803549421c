#include "token_user.h"

#include "platform/unique_handle.h"

namespace platform {

TokenUser TokenUser::Of(HANDLE process) {
    TokenUser user;
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &raw)) return user;
    UniqueHandle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), ::TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) return user;
    std::vector<BYTE> buf(size);
    if (!::GetTokenInformation(token.get(), ::TokenUser, buf.data(), size, &size)) return user;
    user.buf_ = std::move(buf);
    return user;
}

PSID TokenUser::sid() const {
    return reinterpret_cast<const TOKEN_USER*>(buf_.data())->User.Sid;
}

bool TokenUser::operator==(const TokenUser& other) const {
    return valid() && other.valid() && ::EqualSid(sid(), other.sid());
}

bool IsOurProcess(HANDLE process) {
    static const TokenUser ours = TokenUser::Current();
    return TokenUser::Of(process) == ours;
}

}  // namespace platform
