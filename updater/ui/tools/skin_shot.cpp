// Renders every window of the skin off-screen, in Chinese and in English,
// to PNG files: tavlin-skin-shot OUTDIR. Prints the files it wrote.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "LaunchWnd.h"
#include "TipsBoxWnd.h"
#include "platform/text.h"
#include "platform/window/automation.h"

namespace {

// Shows a layout as loaded, without the behaviour of its window class.
class PreviewWnd : public CZebWndBase {
public:
    PreviewWnd(std::u16string className, std::u16string skinFile)
        : className_(std::move(className)), skinFile_(std::move(skinFile)) {
        Create(nullptr, u"preview", DuiLib::WS_OVERLAPPEDWINDOW, 0);
    }
    std::u16string_view GetWindowClassName() const override { return className_; }
    std::u16string GetSkinFile() override { return skinFile_; }

private:
    std::u16string className_;
    std::u16string skinFile_;
};

bool Save(DuiLib::HWND hwnd, const std::string& path) {
    if (!hwnd || !platform::SaveWindowPng(hwnd, path)) {
        std::fprintf(stderr, "cannot render %s\n", path.c_str());
        return false;
    }
    std::printf("%s\n", path.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    platform::SetOffscreenMode(true);
    bool ok = true;
    for (bool chinese : {true, false}) {
        // The windows choose their language from the locale at each decision.
        setenv("LC_ALL", chinese ? "zh_CN.UTF-8" : "en_US.UTF-8", 1);
        const std::string suffix = chinese ? "" : "_en";
        {
            PreviewWnd w(u"zeb_updater_wnd_class_name", chinese ? u"UpdaterWnd.xml" : u"UpdaterWnd_en.xml");
            ok = Save(w.GetHWND(), dir + "/UpdaterWnd" + suffix + ".png") && ok;
        }
        {
            CLaunchWnd w;
            ok = Save(w.GetHWND(), dir + "/LaunchWnd" + suffix + ".png") && ok;
        }
        {
            CTipsBoxWnd w(nullptr, chinese ? u"升级出问题了,请下载完整安装包~" : u"Problems occured. Please visit our website~", 1);
            ok = Save(w.GetHWND(), dir + "/TipsBoxWnd" + suffix + ".png") && ok;
        }
    }
    return ok ? 0 : 1;
}
