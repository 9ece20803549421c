// Writes a few small archives as the fuzzer's starting corpus: every kind
// of entry the extraction treats differently.
#include <cstdio>
#include <filesystem>
#include <string>

#include "zip_builder.h"

using namespace tavlin_test;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <seed folder>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    try {
        {
            ZipBuilder z(dir + "/plain.zip");
            z.AddFile("bin/tool.dll", std::string(3000, 'a')).AddDir("logs/").AddFile("empty.txt", "");
            z.AddFile("run.sh", "#!/bin/sh\n", 0755).AddFile("ro.txt", "r", 0444);
            z.Close();
        }
        {
            ZipBuilder z(dir + "/names.zip");
            for (const char* name : {"../x.dll", "a/../../x", "/abs/b.txt", "C:\\win\\c.txt",
                                     "a/../../../y.dll", "\\\\server\\s.txt", "sub/./d//e.txt"})
                z.AddFile(name, "n");
            z.Close();
        }
        {
            ZipBuilder z(dir + "/links.zip");
            z.AddDir("d/").AddSymlink("d/up", "../f").AddSymlink("out", "../../etc").AddSymlink("self", ".");
            z.AddSymlink("abs", "/etc").AddFile("f", "f").AddFile("self/x", "through a link");
            z.Close();
        }
        {
            ZipEntry dos;
            dos.name = "DOS.TXT";
            dos.data = "dos";
            dos.host = zip_host::kDos;
            dos.externalAttributes = 0x21;
            dos.extra = ExtraBlock(0x000a, std::string(32, '\0')) + UtExtraField(7, {1, 2, 3});
            ZipEntry badCrc;
            badCrc.name = "crc.bin";
            badCrc.data = std::string(500, 'c');
            badCrc.declaredCrc = 1;
            ZipEntry shortSize;
            shortSize.name = "size.bin";
            shortSize.data = std::string(500, 's');
            shortSize.deflate = false;
            shortSize.declaredSize = 100;
            WriteZip(dir + "/meta.zip", {dos, badCrc, shortSize});
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
