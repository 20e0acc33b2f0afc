#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include "jpeg_picture.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

TEST(JpegPicture, ShrinkFactorIsTheSmallestThatFits) {
    struct Case {
        int width, maxWidth, factor;
    };
    const Case cases[] = {
        {1280, 1280, 1}, {100, 1280, 1}, {1281, 1280, 2}, {2560, 1280, 2},
        {2561, 1280, 2}, {3841, 1280, 3}, {3843, 1280, 4}, {7, 1, 4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(shrinkFactor(c.width, c.maxWidth), c.factor) << c.width << " into " << c.maxWidth;
}

// Wide images into narrow maxima: the factor fits and one less would not,
// found at once even where a search would take a billion steps.
TEST(JpegPicture, ShrinkFactorOfVeryWideImagesIsStillTheSmallestThatFits) {
    const int cases[][2] = {{1000000, 1}, {2147483647, 1}, {2147483647, 1280}, {999999, 3}, {65536, 255}};
    for (const auto& c : cases) {
        const int width = c[0], maxWidth = c[1];
        const int factor = shrinkFactor(width, maxWidth);
        EXPECT_LE(width / factor, maxWidth) << width << " into " << maxWidth;
        EXPECT_GT(width / (factor - 1), maxWidth) << width << " into " << maxWidth;
    }
}


// Block averages against a direct per-pixel sum, on random images whose
// sizes leave partial blocks at the right and bottom.
TEST(JpegPicture, ShrinkAveragesWholeBlocksAndDropsTheRemainder) {
    std::mt19937 random(17);
    for (int trial = 0; trial < 20; ++trial) {
        RgbImage image;
        image.width = 1 + static_cast<int>(random() % 40);
        image.height = 1 + static_cast<int>(random() % 30);
        image.rgb.resize(static_cast<std::size_t>(image.width) * image.height * 3);
        for (auto& byte : image.rgb)
            byte = static_cast<std::uint8_t>(random());
        const int factor = 1 + static_cast<int>(random() % 5);

        const RgbImage shrunk = shrinkByFactor(image, factor);
        ASSERT_EQ(shrunk.width, image.width / factor);
        ASSERT_EQ(shrunk.height, image.height / factor);
        for (int y = 0; y < shrunk.height; ++y)
            for (int x = 0; x < shrunk.width; ++x)
                for (int c = 0; c < 3; ++c) {
                    unsigned sum = 0;
                    for (int sy = y * factor; sy < (y + 1) * factor; ++sy)
                        for (int sx = x * factor; sx < (x + 1) * factor; ++sx)
                            sum += image.rgb[(static_cast<std::size_t>(sy) * image.width + sx) * 3 + c];
                    ASSERT_EQ(shrunk.rgb[(static_cast<std::size_t>(y) * shrunk.width + x) * 3 + c],
                              sum / static_cast<unsigned>(factor * factor))
                        << "trial " << trial << " at " << x << "," << y;
                }
    }
}

void writeTestPng(const std::string& path, int width, int height, int channels) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * channels);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint8_t>((i * 7) & 0xFF);
    ASSERT_NE(stbi_write_png(path.c_str(), width, height, channels, pixels.data(), width * channels), 0);
}

struct JpegSize {
    int width = 0, height = 0;
};
JpegSize jpegSize(const std::string& path) {
    JpegSize size;
    int channels = 0;
    if (!stbi_info(path.c_str(), &size.width, &size.height, &channels))
        return {};
    return size;
}

TEST(JpegPicture, ConvertShrinksToTheMaximumWidth) {
    test::TempDir dir;
    struct Case {
        int width, height, maxWidth, outWidth, outHeight;
    };
    const Case cases[] = {
        {2560, 1440, 1280, 1280, 720},
        {1281, 720, 1280, 640, 360},
        {1280, 720, 1280, 1280, 720},
        {3841, 9, 1280, 1280, 3},
    };
    for (const Case& c : cases) {
        const std::string png = dir.file("in.png"), jpeg = dir.file("out.jpg");
        writeTestPng(png, c.width, c.height, 4);
        ASSERT_TRUE(convertToJpeg(png, jpeg, c.maxWidth, 88)) << c.width;
        const JpegSize size = jpegSize(jpeg);
        EXPECT_EQ(size.width, c.outWidth) << c.width;
        EXPECT_EQ(size.height, c.outHeight) << c.width;
        const std::string bytes = readFileBytes(jpeg);
        ASSERT_GE(bytes.size(), 2u);
        EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF); // JPEG start-of-image marker
        EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xD8);
    }
}

TEST(JpegPicture, KeepsColoursOfAFlatImage) {
    test::TempDir dir;
    const int w = 64, h = 32;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = 200;
        rgb[i + 1] = 40;
        rgb[i + 2] = 90;
    }
    const std::string png = dir.file("flat.png"), jpeg = dir.file("flat.jpg");
    ASSERT_NE(stbi_write_png(png.c_str(), w, h, 3, rgb.data(), w * 3), 0);
    ASSERT_TRUE(convertToJpeg(png, jpeg, 32, 95));
    int width = 0, height = 0, channels = 0;
    unsigned char* decoded = stbi_load(jpeg.c_str(), &width, &height, &channels, 3);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(width, 32);
    EXPECT_EQ(height, 16);
    EXPECT_NEAR(decoded[0], 200, 4);
    EXPECT_NEAR(decoded[1], 40, 4);
    EXPECT_NEAR(decoded[2], 90, 4);
    stbi_image_free(decoded);
}

TEST(JpegPicture, MissingOrBrokenPngsConvertToNothing) {
    test::TempDir dir;
    EXPECT_FALSE(convertToJpeg(dir.file("missing.png"), dir.file("a.jpg"), 100, 88));
    {
        std::ofstream broken(dir.file("broken.png"), std::ios::binary);
        broken << "\x89PNG not really";
    }
    EXPECT_FALSE(convertToJpeg(dir.file("broken.png"), dir.file("b.jpg"), 100, 88));
    {
        std::ofstream empty(dir.file("empty.png"), std::ios::binary);
    }
    EXPECT_FALSE(convertToJpeg(dir.file("empty.png"), dir.file("c.jpg"), 100, 88));
    // A child may leave a folder under a picture's name: it opens, but
    // reading it fails, which must not end the launcher.
    std::filesystem::create_directories(dir.file("folder.png"));
    EXPECT_FALSE(convertToJpeg(dir.file("folder.png"), dir.file("d.jpg"), 100, 88));
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.jpg")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("b.jpg")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("d.jpg")));
    EXPECT_EQ(readFileBytes(dir.file("missing.png")), "");
    EXPECT_EQ(readFileBytes(dir.file("folder.png")), "");
}

// A picture that cannot be written is no picture: the chapter must not
// count it and the page must not show it.
// It is told apart from a PNG that is not there, so the launcher can say
// that the fault is its own.
TEST(JpegPicture, AJpegThatCannotBeWrittenConvertsToNothing) {
    test::TempDir dir;
    writeTestPng(dir.file("good.png"), 40, 20, 3);
    EXPECT_TRUE(convertToJpeg(dir.file("good.png"), dir.file("good.jpg"), 100, 88));
    EXPECT_EQ(makeJpeg(dir.file("good.png"), dir.file("good.jpg"), 100, 88), PictureOutcome::Made);
    EXPECT_FALSE(convertToJpeg(dir.file("good.png"), dir.file("no such folder/good.jpg"), 100, 88));
    EXPECT_EQ(makeJpeg(dir.file("good.png"), dir.file("no such folder/good.jpg"), 100, 88),
              PictureOutcome::NotWritten);
    EXPECT_EQ(makeJpeg(dir.file("missing.png"), dir.file("missing.jpg"), 100, 88), PictureOutcome::NoImage);
    // A device that is always full: opening works, writing does not.
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_FALSE(convertToJpeg(dir.file("good.png"), "/dev/full", 100, 88));
        EXPECT_EQ(makeJpeg(dir.file("good.png"), "/dev/full", 100, 88), PictureOutcome::NotWritten);
        EXPECT_TRUE(std::filesystem::exists("/dev/full"));
    }
}

// No picture can be at most 0 pixels wide; a maximum below 1 makes none
// (and a negative one used to search for a factor forever).
TEST(JpegPicture, AMaximumWidthBelowOneMakesNoPicture) {
    test::TempDir dir;
    writeTestPng(dir.file("good.png"), 40, 20, 3);
    for (int maxWidth : {0, -1, -1280}) {
        EXPECT_EQ(makeJpeg(dir.file("good.png"), dir.file("small.jpg"), maxWidth, 88), PictureOutcome::NoImage)
            << maxWidth;
        EXPECT_FALSE(std::filesystem::exists(dir.file("small.jpg"))) << maxWidth;
    }
}

// A JPEG stores its width and height in 16 bits. A picture that would be
// larger than that on either side, after shrinking, is no picture: written
// anyway its size would wrap around and the file would show something else.
TEST(JpegPicture, APictureLargerThanAJpegCanHoldMakesNoPicture) {
    test::TempDir dir;
    struct Case {
        int width, height, maxWidth;
        bool made;
        int outWidth, outHeight;
    };
    const Case cases[] = {
        {1, 65535, 1280, true, 1, 65535},
        {1, 65536, 1280, false, 0, 0},
        {65535, 1, 70000, true, 65535, 1},
        {65536, 1, 70000, false, 0, 0},
        {2, 131071, 1, true, 1, 65535}, // halved it fits
        {2, 131072, 1, false, 0, 0},    // halved it is still 65536 rows
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        const std::string png = dir.file("tall.png"), jpeg = dir.file("tall.jpg");
        std::filesystem::remove(jpeg);
        writeTestPng(png, c.width, c.height, 3);
        EXPECT_EQ(makeJpeg(png, jpeg, c.maxWidth, 88), c.made ? PictureOutcome::Made : PictureOutcome::NoImage);
        const JpegSize size = jpegSize(jpeg);
        EXPECT_EQ(size.width, c.outWidth);
        EXPECT_EQ(size.height, c.outHeight);
        EXPECT_EQ(std::filesystem::exists(jpeg), c.made);
    }
}

} // namespace
} // namespace qlmr
