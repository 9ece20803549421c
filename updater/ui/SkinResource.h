// The skin archive and the program icon built into the updater.
#pragma once

namespace zeb_ui {

// Resource identifiers, as the windows ask for them.
constexpr int kSkinResourceId = 102;  // zip archive, resource type "ZIPRES"
constexpr int kIconResourceId = 101;  // program icon

// Makes both reachable through DuiLib::FindResourceData (Linux: registers
// the generated arrays; Windows: the archive is a real resource of the
// module, the icon is registered). Any thread; repeated calls are free.
void RegisterSkinResources();

}  // namespace zeb_ui
