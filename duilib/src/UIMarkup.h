// A parsed layout document and the builder that turns it into controls.
#pragma once

#include <pugixml.hpp>

#include <string>

#include "duilib/UIManager.h"

namespace DuiLib {

class IDialogBuilderCallback;

class CMarkup {
public:
    // False (with error()) when the text is not well-formed XML or has no
    // Window element.
    bool Load(const std::string& xml);
    pugi::xml_node Window() const { return doc_.child("Window"); }
    const std::string& error() const { return error_; }

private:
    pugi::xml_document doc_;
    std::string error_;
};

// Window attributes that concern the manager (size, caption band, fonts,
// layered background). Returns whether the window element asks to stay
// hidden.
bool ApplyWindowAttributes(const CMarkup& markup, CPaintManagerUI& manager);

// The control tree of the window element; nullptr when it has none.
// Element names the library does not know go to `callback`.
CControlUI* BuildControls(const CMarkup& markup, IDialogBuilderCallback* callback);

}  // namespace DuiLib
