// The agreement verdict line and the PSNR texts of the comparisons.
#include "levels_verdict.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace qlmr {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

LevelsLimits prisms()
{
    return {"prisms", 0.0001, 0.001, 0.001, 0, 45.0, kNaN};
}

LevelsMeasures clean()
{
    LevelsMeasures m;
    m.pixels = 10000;
    m.hits = 5000;
    m.imageDb = kInf;
    m.solidDb = kNaN;
    return m;
}

TEST(LevelsVerdict, IdenticalImagesPrint999AndPass)
{
    const LevelsVerdict v = levelsVerdict("wide", clean(), prisms());
    EXPECT_TRUE(v.passed());
    EXPECT_EQ(v.line,
              "  [wide  ] levels (prisms): hit PASS (coverage 0.0000% <= 0.0100%, depth rel 0.0e+00 <= 1e-03, "
              "normal >5 deg 0.000% <= 0.100%, material 0 <= 0) | image PASS (999.0 dB >= 45)\n");
}

TEST(LevelsVerdict, EachLimitFailsItsHalfAtTheFirstValuePastIt)
{
    struct Case {
        const char* what;
        void (*change)(LevelsMeasures&);
        bool hit;
        bool image;
    };
    const Case cases[] = {
        {"coverage at limit", [](LevelsMeasures& m) { m.coverageMismatch = 1; }, true, true},
        {"coverage past limit", [](LevelsMeasures& m) { m.coverageMismatch = 2; }, false, true},
        {"normal at limit", [](LevelsMeasures& m) { m.normalOver5 = 5; }, true, true},
        {"normal past limit", [](LevelsMeasures& m) { m.normalOver5 = 6; }, false, true},
        {"depth past limit", [](LevelsMeasures& m) { m.depthRel = 0.0011; }, false, true},
        {"one material", [](LevelsMeasures& m) { m.materialMismatch = 1; }, false, true},
        {"image at limit", [](LevelsMeasures& m) { m.imageDb = 45.0; }, true, true},
        {"image below limit", [](LevelsMeasures& m) { m.imageDb = 44.99; }, true, false},
        {"no hits: normal fraction 0", [](LevelsMeasures& m) { m.hits = 0; m.normalOver5 = 3; }, true, true},
    };
    for (const Case& c : cases) {
        LevelsMeasures m = clean();
        c.change(m);
        const LevelsVerdict v = levelsVerdict("v", m, prisms());
        EXPECT_EQ(v.hitPassed, c.hit) << c.what << ": " << v.line;
        EXPECT_EQ(v.imagePassed, c.image) << c.what << ": " << v.line;
    }
}

TEST(LevelsVerdict, SolidLimitAppliesOnlyWithSolidPixels)
{
    LevelsLimits oneFrame{"one frame", 0.0001, 0.00001, 0.001, 0, 45.0, 45.0};
    LevelsMeasures m = clean();
    m.imageDb = 50.0;

    m.solidDb = kNaN;  // no critter pixels: no suffix, no limit
    LevelsVerdict v = levelsVerdict("orbit0", m, oneFrame);
    EXPECT_TRUE(v.imagePassed);
    EXPECT_NE(v.line.find("| image PASS (50.0 dB >= 45)\n"), std::string::npos) << v.line;

    m.solidDb = 40.0;
    v = levelsVerdict("orbit0", m, oneFrame);
    EXPECT_FALSE(v.imagePassed);
    EXPECT_NE(v.line.find("| image FAIL (50.0 dB >= 45, solid pixels 40.0 dB >= 45)\n"), std::string::npos)
        << v.line;
}

// What `print` writes to a stream, read back.
template <class Print>
std::string printed(Print print)
{
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    print(out);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

TEST(LevelsVerdict, PrintedLineIsTheVerdictsAndItsResultDecidesTheFailure)
{
    LevelsMeasures failing = clean();
    failing.imageDb = 30.0;
    for (const LevelsMeasures& m : {clean(), failing}) {
        bool passed = false;
        const std::string line = printed([&](std::FILE* out) { passed = printLevelsVerdict(out, "wide", m, prisms()); });
        const LevelsVerdict v = levelsVerdict("wide", m, prisms());
        EXPECT_EQ(line, v.line);
        EXPECT_EQ(passed, v.passed());
        // Without a stream the line goes to standard output.
        ::testing::internal::CaptureStdout();
        const bool printedPassed = printLevelsVerdict("wide", m, prisms());
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), v.line);
        EXPECT_EQ(printedPassed, v.passed());
    }
    EXPECT_FALSE(levelsVerdict("wide", failing, prisms()).passed());
}

TEST(Psnr, ExactOnlyForZeroErrorElseTwoDecimals)
{
    EXPECT_EQ(psnrText(0.0, 300.0), "exact");
    // mse 1: 10 log10(65025) = 48.13 dB.
    EXPECT_EQ(psnrText(300.0, 300.0), "48.13 dB");
    EXPECT_TRUE(std::isinf(psnrDb(0.0, 300.0)));
    EXPECT_NEAR(psnrDb(300.0, 300.0), 48.1308, 1e-4);
}

} // namespace
} // namespace qlmr
