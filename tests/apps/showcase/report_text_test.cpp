#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "report_text.h"

namespace qlmr {
namespace {

TEST(ReportText, FormatNumberPrintsDecimalsAndNanAsEnDash) {
    EXPECT_EQ(formatNumber(std::nan(""), 0), "\xE2\x80\x93");
    EXPECT_EQ(formatNumber(std::nan(""), 3), "\xE2\x80\x93");
    EXPECT_EQ(formatNumber(1000.0, 0), "1000");
    EXPECT_EQ(formatNumber(2.25, 1), "2.2"); // printf rounding, to even here
    EXPECT_EQ(formatNumber(0.4, 1), "0.4");
    EXPECT_EQ(formatNumber(1.0 / 3.0, 2), "0.33");
    EXPECT_EQ(formatNumber(1e300, 0).size(), 63u); // cut to the 64-byte buffer
}

TEST(ReportText, JsonQuoteEscapesQuotesAndBackslashesAndBlanksControlBytes) {
    EXPECT_EQ(jsonQuote("a\tb\nc\"d\\e"), "\"a b c\\\"d\\\\e\"");
    EXPECT_EQ(jsonQuote(""), "\"\"");
    EXPECT_EQ(jsonQuote(std::string("x\x01y\x1f", 4)), "\"x y \"");
    EXPECT_EQ(jsonQuote("\x7f \xE2\x80\x93 /"), "\"\x7f \xE2\x80\x93 /\""); // copied, no \u escapes
}

TEST(ReportText, HtmlEscapeKeepsTheApostrophe) {
    EXPECT_EQ(htmlEscape("a & b < c > d \"e\" 'f'"), "a &amp; b &lt; c &gt; d &quot;e&quot; 'f'");
    EXPECT_EQ(htmlEscape("&amp;"), "&amp;amp;");
}

TEST(ReportText, ScrubHomeReplacesEveryOccurrenceOfLongEnoughCandidates) {
    EXPECT_EQ(scrubHome("/home/ann/a and /home/ann/b", {"/home/ann"}), "~/a and ~/b");
    EXPECT_EQ(scrubHome("C:\\x D:\\y", {"C:\\"}), "C:\\x D:\\y"); // three bytes: skipped
    EXPECT_EQ(scrubHome("/home/ann", {"", "/home/ann", "~"}), "~");
    // Candidates apply in order; a later one sees the earlier replacements.
    EXPECT_EQ(scrubHome("/home/ann/x", {"/home/ann/x", "/home"}), "~");
    // Searching starts again from the front after each replacement.
    EXPECT_EQ(scrubHome("abab/xyzab/xyz", {"ab/xyz"}), "ab~~");
}

// The environment variables, restored afterwards.
class HomeEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved.emplace_back(value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
    }
    void TearDown() override {
        for (std::size_t i = 0; i < std::size(kNames); ++i) {
            if (saved[i])
                setenv(kNames[i], saved[i]->c_str(), 1);
            else
                unsetenv(kNames[i]);
        }
    }
    static constexpr const char* kNames[] = {"HOME", "USERPROFILE", "HOMEDRIVE", "HOMEPATH"};
    std::vector<std::optional<std::string>> saved;
};

TEST_F(HomeEnvironment, CandidatesComeFromHomeUserProfileAndDrivePlusPath) {
    setenv("HOME", "/home/ann", 1);
    setenv("USERPROFILE", "C:\\Users\\Ann", 1);
    setenv("HOMEDRIVE", "D:", 1);
    EXPECT_EQ(homeDirectoryCandidates(), (std::vector<std::string>{"/home/ann", "C:\\Users\\Ann", ""}));
    setenv("HOMEPATH", "\\Users\\Bob", 1);
    EXPECT_EQ(homeDirectoryCandidates()[2], "D:\\Users\\Bob");
    EXPECT_EQ(scrubHome("/home/ann/x C:\\Users\\Ann\\y D:\\Users\\Bob\\z"), "~/x ~\\y ~\\z");
}

TEST_F(HomeEnvironment, AShortUserProfileChangesNothing) {
    setenv("USERPROFILE", "C:\\", 1);
    EXPECT_EQ(scrubHome("C:\\Users"), "C:\\Users");
    setenv("USERPROFILE", "C:\\Users", 1);
    EXPECT_EQ(scrubHome("C:\\Users and C:\\Users"), "~ and ~");
}

} // namespace
} // namespace qlmr
