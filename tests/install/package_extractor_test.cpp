// PackageExtractor against real folders and a real package through zlib.dll.
#include <gtest/gtest.h>

#include <filesystem>

#include "child_process.h"
#include "download/PackageExtractor.h"
#include "temp_dir.h"
#include "zip_builder.h"

namespace fs = std::filesystem;

namespace {

TEST(PackageExtractor, MakesTheTargetAFolderOrRefusesWhatIsInTheWay) {
    struct Case {
        const char* what;
        const char* targetDir;  // relative to the test folder
        bool result;
    };
    const Case cases[] = {
        {"every level missing", "new/a/b/", true},
        {"without a trailing slash", "new/plain", true},
        {"an existing folder", "existing/", true},
        {"a file in place of the target", "file/", false},
        {"a file in place of the target, no slash", "file", false},
        {"a file in place of a parent", "file/sub/", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tavlin_test::TempDir tmp("extractor-");
        fs::create_directories(tmp / "existing");
        ASSERT_TRUE(tavlin_test::WriteFileText(tmp / "file", "in the way"));
        // Outside the target, so its entries land straight in it.
        const std::string package = tmp / "update.zip";
        tavlin_test::ZipBuilder zip(package);
        zip.AddFile("bin/app.txt", "new app");
        zip.Close();

        PackageExtractor extractor{package, tmp / c.targetDir};
        EXPECT_EQ(extractor.Extract(), c.result);
        if (c.result) {
            EXPECT_TRUE(fs::is_directory(tmp / c.targetDir));
            EXPECT_EQ(extractor.unpackResult, 0);
            EXPECT_EQ(tavlin_test::ReadFileText(tmp / c.targetDir + "/bin/app.txt"), "new app");
        } else {
            EXPECT_EQ(tavlin_test::ReadFileText(tmp / "file"), "in the way");
        }
        EXPECT_TRUE(fs::exists(package)) << "the package is kept";
    }
}

}  // namespace
