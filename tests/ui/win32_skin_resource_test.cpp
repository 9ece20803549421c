// The skin as the program's resource "ZIPRES" 102 (Windows): the UI
// library finds it in the module's resource section, it is the archive the
// build packed, it holds every layout and the images they name, and the
// windows are built from it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "LaunchWnd.h"
#include "SkinResource.h"
#include "TipsBoxWnd.h"
#include "duilib/UIResource.h"
#include "platform/window/automation.h"
#include "win32_raw_resource.h"

namespace tavlin_ui_test {
namespace {

using namespace DuiLib;

std::string ReadFile(const std::string& utf8Path) {
    std::ifstream in(std::filesystem::path(std::u8string(utf8Path.begin(), utf8Path.end())), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::span<const uint8_t> SkinBytes() { return FindResourceData(kZipResourceType, zeb_ui::kSkinResourceId); }

TEST(SkinResource, IsTheProgramsOwnResourceAndThePackedArchive) {
    const std::span<const uint8_t> found = SkinBytes();
    ASSERT_FALSE(found.empty()) << "no ZIPRES 102 in the program";
    // The very bytes of the program's resource section, not a copy
    // registered at run time.
    const std::span<const uint8_t> raw = ProgramResource(L"ZIPRES", 102);
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(found.data(), raw.data());
    EXPECT_EQ(found.size(), raw.size());
    const std::string packed = ReadFile(TAVLIN_SKIN_ZIP);
    ASSERT_FALSE(packed.empty()) << TAVLIN_SKIN_ZIP;
    EXPECT_EQ(std::string(found.begin(), found.end()), packed);
}

TEST(SkinResource, ArchiveHoldsEveryLayoutAndItsImages) {
    auto archive = CZipArchive::FromMemory(SkinBytes());
    ASSERT_NE(archive, nullptr);
    for (const char* layout : {"UpdaterWnd.xml", "UpdaterWnd_en.xml", "LaunchWnd.xml", "LaunchWnd_en.xml",
                               "TipsBoxWnd.xml", "TipsBoxWnd_en.xml"}) {
        std::string stored;
        ASSERT_TRUE(archive->Read(layout, stored)) << layout;
        EXPECT_EQ(stored, ReadFile(std::string(TAVLIN_SKIN_LAYOUTS) + "/" + layout)) << layout;
    }
    // The progress window's card, its buttons and bar, and a twin for
    // high-resolution screens, each a PNG image.
    for (const char* image : {"UpdateBk.png", "UpdateBkClose.png", "UpdateBkMin.png", "progress_bg.png",
                              "progress_fg.png", "progress_fg@2x.png"}) {
        std::string png;
        ASSERT_TRUE(archive->Read(image, png)) << image;
        EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << image;
    }
    std::string none;
    EXPECT_FALSE(archive->Read("updaterwnd.xml", none)) << "names are exact";
}

TEST(SkinResource, RegisteredDataComesFirstAndTheModuleAfterIt) {
    const std::span<const uint8_t> module = SkinBytes();
    ASSERT_FALSE(module.empty());
    static const uint8_t other[] = {1, 2, 3};
    RegisterResource(kZipResourceType, zeb_ui::kSkinResourceId, other, sizeof other);
    EXPECT_EQ(SkinBytes().data(), other);
    // Unregistered again: the program's resource shows through.
    RegisterResource(kZipResourceType, zeb_ui::kSkinResourceId, nullptr, 0);
    EXPECT_EQ(SkinBytes().data(), module.data());
    // Other identifiers and types, and identifiers a resource cannot have.
    EXPECT_TRUE(FindResourceData(kZipResourceType, 103).empty());
    EXPECT_TRUE(FindResourceData(u"RCDATA", 102).empty());
    EXPECT_TRUE(FindResourceData(kZipResourceType, 0).empty());
    EXPECT_TRUE(FindResourceData(kZipResourceType, -102).empty());
    EXPECT_TRUE(FindResourceData(kZipResourceType, 0x10000 + 102).empty());
}

TEST(SkinResource, WindowsAreBuiltFromIt) {
    platform::SetOffscreenMode(true);
    CTipsBoxWnd tips(nullptr, u"x", 1);
    ASSERT_NE(tips.GetHWND(), nullptr) << tips.GetLoadError();
    EXPECT_EQ(tips.GetResourceType(), UILIB_ZIPRESOURCE);
    EXPECT_EQ(tips.GetResourceID(), 102);
    EXPECT_NE(tips.confirmButton, nullptr);
    CLaunchWnd launch;
    ASSERT_NE(launch.GetHWND(), nullptr) << launch.GetLoadError();
    // The icon is registered PNG data beside the resource.
    EXPECT_FALSE(FindResourceData(kIconResourceType, zeb_ui::kIconResourceId).empty());
}

}  // namespace
}  // namespace tavlin_ui_test
