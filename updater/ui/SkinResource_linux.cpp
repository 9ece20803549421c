// Linux: both the skin archive and the icon are byte arrays generated at
// build time (skin_data.cpp), registered with the UI library.
#include "SkinResource.h"

#include <cstddef>
#include <mutex>

#include "duilib/UIDefine.h"
#include "duilib/UIResource.h"

// Generated at build time from updater/ui/skin (skin_data.cpp).
namespace tavlin_skin {
extern const unsigned char kSkinZip[];
extern const std::size_t kSkinZipSize;
extern const unsigned char kIconPng[];
extern const std::size_t kIconPngSize;
}  // namespace tavlin_skin

namespace zeb_ui {

void RegisterSkinResources() {
    static std::once_flag once;
    std::call_once(once, [] {
        DuiLib::RegisterResource(DuiLib::kZipResourceType, kSkinResourceId, tavlin_skin::kSkinZip,
                                 tavlin_skin::kSkinZipSize);
        DuiLib::RegisterResource(DuiLib::kIconResourceType, kIconResourceId, tavlin_skin::kIconPng,
                                 tavlin_skin::kIconPngSize);
    });
}

}  // namespace zeb_ui
