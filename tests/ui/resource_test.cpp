// Where layouts come from: zip archives registered as resources (exact
// names, damaged entries), skin folders on disk, and layouts that cannot
// be used, which leave the window uncreated instead of half-built.
#include <filesystem>

#include "child_process.h"
#include "platform/text.h"
#include "temp_dir.h"
#include "ui_test_util.h"
#include "zip_builder.h"

namespace tavlin_ui_test {
namespace {

constexpr int kTestSkinId = 777;
const char kGoodLayout[] =
    R"(<Window size="120,50"><VerticalLayout><Button name="ok" text="OK" height="20"/></VerticalLayout></Window>)";

tavlin_test::ZipEntry Entry(const std::string& name, const std::string& data) {
    tavlin_test::ZipEntry e;
    e.name = name;
    e.data = data;
    return e;
}

class ArchiveWnd : public WindowImplBase {
public:
    ArchiveWnd(UILIB_RESOURCETYPE type, std::u16string folder, std::u16string file)
        : type_(type), folder_(std::move(folder)), file_(std::move(file)) {
        Create(nullptr, u"archive", WS_OVERLAPPEDWINDOW, 0);
    }
    std::u16string_view GetWindowClassName() const override { return u"tavlin_archive_test"; }
    std::u16string GetSkinFolder() override { return folder_; }
    std::u16string GetSkinFile() override { return file_; }
    UILIB_RESOURCETYPE GetResourceType() const override { return type_; }
    int GetResourceID() const override { return kTestSkinId; }

private:
    UILIB_RESOURCETYPE type_;
    std::u16string folder_, file_;
};

class ResourceTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        tavlin_test::ZipEntry bad = Entry("Crc.xml", kGoodLayout);
        bad.declaredCrc = 0x12345678;
        tavlin_test::WriteZip(dir_ / "skin.zip", {
            Entry("Good.xml", kGoodLayout),
            Entry("skin/Good.xml", kGoodLayout),
            Entry("Bad.xml", "<Window size=\"1,1\"><VerticalLayout>"),
            Entry("NoWindow.xml", "<Layout/>"),
            Entry("Empty.xml", "<Window size=\"10,10\"><Font size=\"12\"/></Window>"),
            bad,
        });
        bytes_ = tavlin_test::ReadFileText(dir_ / "skin.zip");
        ASSERT_FALSE(bytes_.empty());
        RegisterResource(kZipResourceType, kTestSkinId, bytes_.data(), bytes_.size());
    }
    void TearDown() override { RegisterResource(kZipResourceType, kTestSkinId, nullptr, 0); }

    tavlin_test::TempDir dir_{"tavlin-skin-"};
    std::string bytes_;
};

TEST_F(ResourceTest, LayoutsFromArchivesAndFoldersOrNoWindow) {
    std::filesystem::create_directories(dir_ / "folder");
    ASSERT_TRUE(tavlin_test::WriteFileText(dir_ / "folder/Good.xml", kGoodLayout));
    ASSERT_TRUE(tavlin_test::WriteFileText(dir_ / "Good.xml", kGoodLayout));
    CPaintManagerUI::SetResourcePath(platform::Utf8ToUtf16(dir_.path()));
    struct Case {
        UILIB_RESOURCETYPE type;
        const char16_t* folder;
        const char16_t* file;
        bool created;
    };
    const Case cases[] = {
        {UILIB_ZIPRESOURCE, u"", u"Good.xml", true},
        {UILIB_ZIPRESOURCE, u"skin/", u"Good.xml", true},
        {UILIB_ZIPRESOURCE, u"", u"good.xml", false},  // names are exact
        {UILIB_ZIPRESOURCE, u"", u"Missing.xml", false},
        {UILIB_ZIPRESOURCE, u"", u"Bad.xml", false},
        {UILIB_ZIPRESOURCE, u"", u"NoWindow.xml", false},
        {UILIB_ZIPRESOURCE, u"", u"Empty.xml", false},
        {UILIB_ZIPRESOURCE, u"", u"Crc.xml", false},  // damaged entry
        {UILIB_FILE, u"folder", u"Good.xml", true},
        {UILIB_FILE, u"", u"Good.xml", true},
        {UILIB_FILE, u"folder", u"Missing.xml", false},
        {UILIB_RESOURCE, u"", u"Good.xml", false},
    };
    for (const Case& c : cases) {
        ArchiveWnd wnd(c.type, c.folder, c.file);
        const std::string what = platform::Utf16ToUtf8(c.folder) + platform::Utf16ToUtf8(c.file);
        EXPECT_EQ(wnd.GetHWND() != nullptr, c.created) << what << ": " << wnd.GetLoadError();
        if (!c.created) {
            EXPECT_FALSE(wnd.GetLoadError().empty()) << what;
            continue;
        }
        auto* ok = dynamic_cast<CButtonUI*>(wnd.GetPaintManager().FindControl(u"ok"));
        ASSERT_NE(ok, nullptr) << what;
        EXPECT_EQ(ok->GetText(), u"OK");
        RECT rc;
        ASSERT_TRUE(GetClientRect(wnd.GetHWND(), &rc));
        EXPECT_EQ(rc.Width(), 120) << what;
    }
    CPaintManagerUI::SetResourcePath(u"");
}

TEST_F(ResourceTest, ArchivesReadExactNamesAndRefuseGarbage) {
    auto archive = CZipArchive::FromMemory(FindResourceData(kZipResourceType, kTestSkinId));
    ASSERT_NE(archive, nullptr);
    std::string out;
    EXPECT_TRUE(archive->Read("Good.xml", out));
    EXPECT_EQ(out, kGoodLayout);
    EXPECT_FALSE(archive->Read("GOOD.XML", out));
    EXPECT_FALSE(archive->Read("Crc.xml", out));
    EXPECT_TRUE(out.empty());

    const std::string garbage = "PK\x03\x04 not really a zip archive";
    EXPECT_EQ(CZipArchive::FromMemory({reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size()}), nullptr);
    EXPECT_EQ(CZipArchive::FromMemory({}), nullptr);
    // Cut short: the central directory is gone.
    const std::span<const uint8_t> all(reinterpret_cast<const uint8_t*>(bytes_.data()), bytes_.size());
    EXPECT_EQ(CZipArchive::FromMemory(all.first(all.size() / 2)), nullptr);
    EXPECT_TRUE(FindResourceData(kZipResourceType, 4242).empty());
    EXPECT_EQ(CZipArchive::FromFile(dir_ / "missing.zip"), nullptr);
    EXPECT_NE(CZipArchive::FromFile(dir_ / "skin.zip"), nullptr);
}

}  // namespace
}  // namespace tavlin_ui_test
