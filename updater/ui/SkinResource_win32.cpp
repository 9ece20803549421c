// Windows: the skin archive is the program's resource "ZIPRES" 102, compiled
// in from skin.rc and found by the UI library itself; only the icon (PNG
// bytes generated at build time, skin_data.cpp) is registered.
#include <cstddef>
#include <mutex>

#include "SkinResource.h"
#include "duilib/UIDefine.h"
#include "duilib/UIResource.h"

namespace tavlin_skin {
extern const unsigned char kIconPng[];
extern const std::size_t kIconPngSize;
}  // namespace tavlin_skin

namespace zeb_ui {

void RegisterSkinResources() {
    static std::once_flag once;
    std::call_once(once, [] {
        DuiLib::RegisterResource(DuiLib::kIconResourceType, kIconResourceId, tavlin_skin::kIconPng,
                                 tavlin_skin::kIconPngSize);
    });
}

}  // namespace zeb_ui
