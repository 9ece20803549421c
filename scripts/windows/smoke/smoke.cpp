// Smoke check of the Windows dependency prefix, run under Wine. Every library
// the programs link is used once for real: a zip written and read back, an
// XML string parsed, a Boost header used, a text drawn with pango into a
// cairo image and saved as PNG, a page fetched over loopback with libcurl
// (Schannel build), and a SHA-256 through CNG. Arguments: the URL to fetch
// and the text it serves.

#include <winsock2.h> // before windows.h, which would bring the old winsock
#include <windows.h>
#include <bcrypt.h>

#include <boost/any.hpp>
#include <cairo.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <pango/pangocairo.h>
#include <pugixml.hpp>
#include <unzip.h>
#include <zip.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

std::string g_url;
std::string g_expected_body;

TEST(Smoke, ZipWrittenIsReadBack)
{
    const std::string name = "smoke.zip";
    const std::string payload(100000, 'x');

    zipFile zf = zipOpen64(name.c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zf, nullptr);
    ASSERT_EQ(zipOpenNewFileInZip64(zf, "dir/payload.txt", nullptr, nullptr, 0, nullptr, 0, nullptr,
                                    Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0),
              ZIP_OK);
    ASSERT_EQ(zipWriteInFileInZip(zf, payload.data(), static_cast<unsigned>(payload.size())), ZIP_OK);
    ASSERT_EQ(zipCloseFileInZip(zf), ZIP_OK);
    // a name longer than the 16-bit length field is refused, not overflowed
    const std::string long_name(70000, 'n');
    EXPECT_EQ(zipOpenNewFileInZip64(zf, long_name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr,
                                    Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0),
              ZIP_PARAMERROR);
    ASSERT_EQ(zipClose(zf, nullptr), ZIP_OK);

    unzFile uf = unzOpen64(name.c_str());
    ASSERT_NE(uf, nullptr);
    ASSERT_EQ(unzLocateFile(uf, "dir/payload.txt", 0), UNZ_OK);
    unz_file_info64 info{};
    ASSERT_EQ(unzGetCurrentFileInfo64(uf, &info, nullptr, 0, nullptr, 0, nullptr, 0), UNZ_OK);
    EXPECT_EQ(info.uncompressed_size, payload.size());
    EXPECT_LT(info.compressed_size, payload.size());
    ASSERT_EQ(unzOpenCurrentFile(uf), UNZ_OK);
    std::string read(payload.size() + 1, '\0');
    const int n = unzReadCurrentFile(uf, read.data(), static_cast<unsigned>(read.size()));
    EXPECT_EQ(unzCloseCurrentFile(uf), UNZ_OK); // also checks the CRC
    unzClose(uf);
    ASSERT_EQ(n, static_cast<int>(payload.size()));
    read.resize(static_cast<size_t>(n));
    EXPECT_EQ(read, payload);
    std::remove(name.c_str());
}

TEST(Smoke, XmlIsParsed)
{
    pugi::xml_document doc;
    const auto result = doc.load_string(
        "<update version=\"3.2.1\"><file name=\"tavlin.exe\" size=\"42\"/></update>");
    ASSERT_TRUE(result) << result.description();
    EXPECT_STREQ(doc.child("update").attribute("version").value(), "3.2.1");
    EXPECT_EQ(doc.child("update").child("file").attribute("size").as_int(), 42);

    EXPECT_FALSE(doc.load_string("<update><file></update>"));
}

TEST(Smoke, BoostHeadersWork)
{
    boost::any value = std::string("log line");
    ASSERT_NE(boost::any_cast<std::string>(&value), nullptr);
    EXPECT_EQ(*boost::any_cast<std::string>(&value), "log line");
    EXPECT_EQ(boost::any_cast<int>(&value), nullptr);
}

TEST(Smoke, PangoDrawsTextIntoACairoPng)
{
    const int width = 240;
    const int height = 60;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    ASSERT_EQ(cairo_surface_status(surface), CAIRO_STATUS_SUCCESS);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);

    // The Windows build must draw through the win32 font backend.
    PangoFontMap* map = pango_cairo_font_map_get_default();
    ASSERT_NE(map, nullptr);
    EXPECT_NE(std::string(G_OBJECT_TYPE_NAME(map)).find("Win32"), std::string::npos)
        << G_OBJECT_TYPE_NAME(map);

    // Under Wine the DirectWrite font map sees the Linux fonts but not Wine's
    // own (Tahoma and the like: no font at all, not even a fallback), so the
    // check names the font the programs ship with; the Chinese needs it too.
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* font = pango_font_description_from_string("WenQuanYi Micro Hei 20");
    pango_layout_set_font_description(layout, font);
    pango_layout_set_text(layout, "Tavlin \u66f4\u65b0", -1);
    int text_w = 0;
    int text_h = 0;
    pango_layout_get_pixel_size(layout, &text_w, &text_h);
    // Boxes for missing glyphs would also darken pixels: every character must
    // have come from a real font.
    EXPECT_EQ(pango_layout_get_unknown_glyphs_count(layout), 0);
    cairo_move_to(cr, 4, 4);
    pango_cairo_show_layout(cr, layout);
    pango_font_description_free(font);
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    EXPECT_GT(text_w, 20);
    EXPECT_GT(text_h, 5);

    int dark = 0;
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const unsigned char* px = data + y * stride + x * 4;
            if (px[0] < 128 && px[1] < 128 && px[2] < 128)
                ++dark;
        }
    }
    EXPECT_GT(dark, 50) << "no text was drawn";

    ASSERT_EQ(cairo_surface_write_to_png(surface, "smoke.png"), CAIRO_STATUS_SUCCESS);
    cairo_surface_destroy(surface);

    cairo_surface_t* back = cairo_image_surface_create_from_png("smoke.png");
    ASSERT_EQ(cairo_surface_status(back), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(back), width);
    EXPECT_EQ(cairo_image_surface_get_height(back), height);
    cairo_surface_destroy(back);
}

size_t append_body(char* data, size_t size, size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

TEST(Smoke, CurlFetchesOverLoopback)
{
    ASSERT_FALSE(g_url.empty()) << "usage: smoke.exe URL EXPECTED_BODY";
    const curl_version_info_data* version = curl_version_info(CURLVERSION_NOW);
    ASSERT_NE(version->ssl_version, nullptr);
    EXPECT_NE(std::string(version->ssl_version).find("Schannel"), std::string::npos)
        << version->ssl_version;

    CURL* curl = curl_easy_init();
    ASSERT_NE(curl, nullptr);
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, g_url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    ASSERT_EQ(rc, CURLE_OK) << curl_easy_strerror(rc);
    EXPECT_EQ(status, 200);
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
        body.pop_back();
    EXPECT_EQ(body, g_expected_body);
}

struct AlgorithmProvider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~AlgorithmProvider()
    {
        if (handle)
            BCryptCloseAlgorithmProvider(handle, 0);
    }
};

TEST(Smoke, CngHashesSha256)
{
    AlgorithmProvider sha256;
    ASSERT_EQ(BCryptOpenAlgorithmProvider(&sha256.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0), 0);
    std::string input = "abc";
    std::array<unsigned char, 32> digest{};
    const NTSTATUS st = BCryptHash(sha256.handle, nullptr, 0, reinterpret_cast<PUCHAR>(input.data()),
                                   static_cast<ULONG>(input.size()), digest.data(),
                                   static_cast<ULONG>(digest.size()));
    ASSERT_EQ(st, 0) << std::hex << st;
    std::string hex;
    char buf[3];
    for (unsigned char b : digest) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        hex += buf;
    }
    EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc >= 3) {
        g_url = argv[1];
        g_expected_body = argv[2];
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int rc = RUN_ALL_TESTS();
    curl_global_cleanup();
    return rc;
}
