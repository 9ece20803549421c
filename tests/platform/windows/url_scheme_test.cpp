#include "platform/url_scheme.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "platform/unique_handle.h"
#include "win_test_util.h"

namespace {

// A scheme of this test's own, removed again at the end, so the real
// registration of the Wine prefix is never touched.
class TestScheme {
public:
    TestScheme() : name_("tavlin-test-" + std::to_string(::GetCurrentProcessId())) {}
    ~TestScheme() {
        for (auto [root, prefix] : {std::pair{HKEY_CURRENT_USER, L"Software\\Classes\\"}, std::pair{HKEY_CLASSES_ROOT, L""}})
            ::RegDeleteTreeW(root, (prefix + win_test::W(name_)).c_str());
    }
    TestScheme(const TestScheme&) = delete;
    TestScheme& operator=(const TestScheme&) = delete;
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

std::wstring KeyPath(platform::UrlSchemeRoot where, const std::string& scheme, const wchar_t* sub) {
    std::wstring path = where == platform::UrlSchemeRoot::User ? L"Software\\Classes\\" : L"";
    return path + win_test::W(scheme) + sub;
}

HKEY Root(platform::UrlSchemeRoot where) {
    return where == platform::UrlSchemeRoot::User ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
}

// The value's type and its bytes exactly as stored.
bool ReadValue(HKEY root, const std::wstring& key, const wchar_t* value, DWORD& type, std::wstring& data) {
    DWORD size = 0;
    if (::RegGetValueW(root, key.c_str(), value, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::wstring buf(size / sizeof(wchar_t), L'\0');
    if (::RegGetValueW(root, key.c_str(), value, RRF_RT_ANY | RRF_NOEXPAND, &type, buf.data(), &size) != ERROR_SUCCESS)
        return false;
    buf.resize(size / sizeof(wchar_t));
    data = buf;
    return true;
}

// Runs reg.exe with `args` and returns what it printed.
std::string RunReg(const std::wstring& args) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!::CreatePipe(&readRaw, &writeRaw, &sa, 0)) return {};
    platform::UniqueHandle readEnd(readRaw), writeEnd(writeRaw);
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::wstring line = L"reg.exe " + args;
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return {};
    platform::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    writeEnd.reset();
    std::string out;
    char buf[4096];
    DWORD n = 0;
    while (out.size() < (1 << 20) && ::ReadFile(readEnd.get(), buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    ::WaitForSingleObject(process.get(), 30000);
    return out;
}

TEST(UrlSchemeWin, CommandQuotesProgramAndLink) {
    EXPECT_EQ(platform::UrlSchemeCommand("C:\\Program Files\\课堂\\TavlinLaunch.exe"),
              "\"C:\\Program Files\\课堂\\TavlinLaunch.exe\" \"%1\"");
}

TEST(UrlSchemeWin, RegistrationReadsBackExactly) {
    TestScheme scheme;
    // Longer than the 260 characters a fixed buffer would hold.
    const std::string program = "C:\\课堂 客户端\\" + std::string(300, 'x') + "\\TavlinLaunch.exe";
    const std::string command = platform::UrlSchemeCommand(program);
    platform::UrlSchemeRoot where{};
    ASSERT_TRUE(platform::RegisterUrlScheme(scheme.name(), "Tavlin", command, &where));

    DWORD type = 0;
    std::wstring data;
    ASSERT_TRUE(ReadValue(Root(where), KeyPath(where, scheme.name(), L"\\shell\\open\\command"), nullptr, type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    // The text and its one NUL: no padding after it.
    EXPECT_EQ(data, win_test::W(command) + L'\0');
    ASSERT_TRUE(ReadValue(Root(where), KeyPath(where, scheme.name(), L""), L"URL Protocol", type, data));
    EXPECT_EQ(data, std::wstring(1, L'\0'));
    ASSERT_TRUE(ReadValue(Root(where), KeyPath(where, scheme.name(), L""), nullptr, type, data));
    EXPECT_EQ(data, std::wstring(L"URL:Tavlin") + L'\0');

    // The machine's merged view shows the user's classes too.
    ASSERT_TRUE(ReadValue(HKEY_CLASSES_ROOT, win_test::W(scheme.name()) + L"\\shell\\open\\command", nullptr, type, data));
    EXPECT_EQ(data, win_test::W(command) + L'\0');

    // Written again on every call, also when it already holds the text.
    const std::string second = platform::UrlSchemeCommand("C:\\other\\TavlinLaunch.exe");
    ASSERT_TRUE(platform::RegisterUrlScheme(scheme.name(), "Tavlin", second));
    ASSERT_TRUE(ReadValue(Root(where), KeyPath(where, scheme.name(), L"\\shell\\open\\command"), nullptr, type, data));
    EXPECT_EQ(data, win_test::W(second) + L'\0');
}

TEST(UrlSchemeWin, RegQuerySeesTheCommand) {
    TestScheme scheme;
    const std::string command = platform::UrlSchemeCommand("C:\\tavlin\\TavlinLaunch.exe");
    platform::UrlSchemeRoot where{};
    ASSERT_TRUE(platform::RegisterUrlScheme(scheme.name(), "Tavlin", command, &where));
    const std::wstring key = (where == platform::UrlSchemeRoot::User ? L"HKCU\\" : L"HKCR\\") +
                             KeyPath(where, scheme.name(), L"\\shell\\open\\command");
    std::string out = RunReg(L"query \"" + key + L"\" /ve");
    if (out.empty()) GTEST_SKIP() << "reg.exe could not be run here";
    EXPECT_NE(out.find("REG_SZ"), std::string::npos) << out;
    EXPECT_NE(out.find(command), std::string::npos) << out;
}

TEST(UrlSchemeWin, InvalidSchemeOrEmptyCommandIsRefused) {
    for (const char* bad : {"", "1tavlin", "tav lin", "tav\\lin", "tav:lin"})
        EXPECT_FALSE(platform::RegisterUrlScheme(bad, "Tavlin", "\"x\" \"%1\"")) << bad;
    EXPECT_FALSE(platform::RegisterUrlScheme("tavlin-test-empty", "Tavlin", ""));
}

}  // namespace
