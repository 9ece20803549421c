// Shows one of the updater's windows on the screen, in the user's language,
// until it is closed (Escape, Enter, its buttons) or 60 s have passed:
//   tavlin-win-shot progress   the progress window's layout filled the way
//                              the progress window fills it (version,
//                              release notes, 45 % at 256 KB/s)
//   tavlin-win-shot prompt     the prompt of a failed update
// Prints "shown" once the window is up, then "result=N" as tavlin-prompt
// does. The window's title names it ("tavlin-win-shot progress"), so that
// a script finds it on the X display of Wine.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "ProgressText.h"
#include "TipsBoxWnd.h"

using namespace DuiLib;

namespace {

constexpr unsigned kShowMs = 60000;
constexpr int kNoteFont = 2;
constexpr DWORD kNoteColor = 0x005D5D5D;

// The progress window's layout, filled in without a download job.
class ProgressPreview : public CZebWndBase {
public:
    ProgressPreview() { Create(nullptr, u"tavlin-win-shot progress", WS_OVERLAPPEDWINDOW, 0); }
    std::u16string_view GetWindowClassName() const override { return u"zeb_updater_wnd_class_name"; }
    std::u16string GetSkinFile() override { return IsChineseUI() ? u"UpdaterWnd.xml" : u"UpdaterWnd_en.xml"; }

    void Fill() {
        const bool chinese = IsChineseUI();
        if (auto* version = dynamic_cast<CLabelUI*>(m_PaintManager.FindControl(u"version")))
            version->SetText(zeb_ui::VersionLabelText("2.0", "8.6.6"));
        if (auto* list = dynamic_cast<CListUI*>(m_PaintManager.FindControl(u"ListContainer"))) {
            for (const std::u16string& line : zeb_ui::SplitReleaseNotes("新增课堂聊天*白板更流畅*修复已知问题")) {
                auto* label = new CLabelUI;
                label->SetAttribute(u"width", u"260");
                label->SetAttribute(u"multiline", u"true");
                label->SetAttribute(u"wordbreak", u"true");
                label->SetFont(kNoteFont);
                label->SetTextColor(kNoteColor);
                label->SetText(line);
                list->Add(label);
            }
        }
        if (auto* bar = dynamic_cast<CProgressUI*>(m_PaintManager.FindControl(u"downloadProgress")))
            bar->SetValue(45);
        if (auto* tips = dynamic_cast<CLabelUI*>(m_PaintManager.FindControl(u"tipsLabel")))
            tips->SetText(zeb_ui::StatusText(45, 0, 256 * 1024, false, chinese));
    }
};

void CloseAfterTimeout(HWND hwnd) {
    platform::SetTimer(hwnd, 0x5107, kShowMs, [](HWND h, unsigned, uintptr_t, uint32_t) { platform::EndModal(h, 0); });
}

void Shown() {
    std::printf("shown\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string which = argc == 2 ? argv[1] : "";
    unsigned result = 0;
    if (which == "progress") {
        ProgressPreview wnd;
        if (!wnd.GetHWND()) {
            std::fprintf(stderr, "no progress window: %s\n", wnd.GetLoadError().c_str());
            return 70;
        }
        wnd.Fill();
        wnd.CenterWindow();
        wnd.ShowWindow(true, true);
        CloseAfterTimeout(wnd.GetHWND());
        Shown();
        result = wnd.ShowModal();
    } else if (which == "prompt") {
        const bool chinese = CZebWndBase::IsChineseUI();
        CTipsBoxWnd box(nullptr, chinese ? u"升级出问题了,请下载完整安装包~" : u"Problems occured. Please visit our website~", 2);
        if (!box.GetHWND()) {
            std::fprintf(stderr, "no prompt: %s\n", box.GetLoadError().c_str());
            return 70;
        }
        if (box.confirmButton) box.confirmButton->SetText(chinese ? u"前往下载" : u"Go Downloading Page");
        platform::SetWindowTextW(box.GetHWND(), u"tavlin-win-shot prompt");
        CloseAfterTimeout(box.GetHWND());
        Shown();
        result = box.ShowModal();
    } else {
        std::fprintf(stderr, "usage: %s progress|prompt\n", argc > 0 ? argv[0] : "tavlin-win-shot");
        return 64;
    }
    std::printf("result=%u\n", result);
    std::fflush(stdout);
    return 0;
}
