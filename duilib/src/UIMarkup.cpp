// Layout XML -> window attributes, fonts and the control tree.
#include "UIMarkup.h"

#include <memory>

#include "duilib/UIControls.h"
#include "duilib/WindowImplBase.h"
#include "platform/text.h"

namespace DuiLib {

namespace {

std::u16string Wide(const char* utf8) { return platform::Utf8ToUtf16(utf8 ? utf8 : ""); }

CControlUI* NewControl(std::string_view tag, IDialogBuilderCallback* callback) {
    if (tag == "Control") return new CControlUI;
    if (tag == "Container") return new CContainerUI;
    if (tag == "VerticalLayout") return new CVerticalLayoutUI;
    if (tag == "HorizontalLayout") return new CHorizontalLayoutUI;
    if (tag == "Label" || tag == "Text") return new CLabelUI;
    if (tag == "Button") return new CButtonUI;
    if (tag == "Progress") return new CProgressUI;
    if (tag == "List") return new CListUI;
    return callback ? callback->CreateControl(Wide(std::string(tag).c_str())) : nullptr;
}

bool IsWindowSetting(std::string_view tag) {
    return tag == "Font" || tag == "Default" || tag == "Image" || tag == "Include";
}

std::unique_ptr<CControlUI> Build(pugi::xml_node node, IDialogBuilderCallback* callback) {
    std::unique_ptr<CControlUI> control(NewControl(node.name(), callback));
    if (!control) return nullptr;
    for (pugi::xml_attribute a : node.attributes()) control->SetAttribute(Wide(a.name()), Wide(a.value()));
    auto* container = dynamic_cast<CContainerUI*>(control.get());
    for (pugi::xml_node child : node.children()) {
        if (child.type() != pugi::node_element || !container) continue;
        if (auto built = Build(child, callback)) container->Add(built.release());
    }
    return control;
}

}  // namespace

bool CMarkup::Load(const std::string& xml) {
    pugi::xml_parse_result r = doc_.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!r) {
        error_ = std::string("layout is not valid XML: ") + r.description();
        return false;
    }
    if (!Window()) {
        error_ = "layout has no Window element";
        return false;
    }
    return true;
}

bool ApplyWindowAttributes(const CMarkup& markup, CPaintManagerUI& manager) {
    pugi::xml_node w = markup.Window();
    bool hidden = false;
    for (pugi::xml_attribute a : w.attributes()) {
        std::string_view name = a.name();
        std::u16string value = Wide(a.value());
        if (name == "size") {
            SIZE s = ParseSize(value);
            manager.SetInitSize(s.cx, s.cy);
        } else if (name == "caption") {
            manager.SetCaptionRect(ParseRect(value));
        } else if (name == "layered") {
            manager.SetLayered(ParseBool(value));
        } else if (name == "layeredimage") {
            manager.SetLayered(true);
            manager.SetLayeredImage(value);
        } else if (name == "layeredopacity") {
            manager.SetLayeredOpacity(ParseInt(value));
        } else if (name == "visible") {
            hidden = !ParseBool(value);
        }
    }
    // Fonts without an id are numbered in their order, from 0.
    int next = 0;
    for (pugi::xml_node f : w.children("Font")) {
        TFontInfo font;
        font.sFontName = Wide(f.attribute("name").as_string("微软雅黑"));
        font.iSize = f.attribute("size").as_int(12);
        font.bBold = f.attribute("bold").as_bool();
        font.bUnderline = f.attribute("underline").as_bool();
        font.bItalic = f.attribute("italic").as_bool();
        int id = f.attribute("id") ? f.attribute("id").as_int() : next;
        next = id + 1;
        if (f.attribute("default").as_bool()) manager.SetDefaultFont(font);
        manager.AddFont(id, std::move(font));
    }
    return hidden;
}

CControlUI* BuildControls(const CMarkup& markup, IDialogBuilderCallback* callback) {
    for (pugi::xml_node child : markup.Window().children()) {
        if (child.type() != pugi::node_element || IsWindowSetting(child.name())) continue;
        if (auto root = Build(child, callback)) return root.release();
    }
    return nullptr;
}

}  // namespace DuiLib
