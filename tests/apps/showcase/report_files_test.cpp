#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>

#include "report_files.h"
#include "support/json_reader.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

MachineDescription sampleMachine() {
    return {{"cpu", "Test CPU"},       {"os", "Linux (kernel 6.1)"}, {"threads", "8"},
            {"simd", "AVX2"},          {"gpu", "Card <1>"},          {"driver", "Vulkan 1.3.2"}};
}

// HOME pointed at a known value for the test, restored afterwards.
class WithHome : public ::testing::Test {
protected:
    void SetUp() override {
        const char* value = std::getenv("HOME");
        if (value)
            saved = value;
        setenv("HOME", "/home/tester", 1);
    }
    void TearDown() override {
        if (saved)
            setenv("HOME", saved->c_str(), 1);
        else
            unsetenv("HOME");
    }
    std::optional<std::string> saved;
};

TEST_F(WithHome, ResultsJsonLayoutIsExactAndHidesTheHomeDirectory) {
    std::vector<Chapter> chapters(2);
    chapters[0].key = "terrain";
    chapters[0].ok = true;
    chapters[0].seconds = 2.26;
    chapters[0].stats = {{"112 ms", "per frame"}, {"13 MB", "of \"height\" data"}};
    chapters[1].key = "creature";
    chapters[1].seconds = 0.04;
    MachineDescription machine = sampleMachine();
    machine["os"] = "Linux in /home/tester/os";

    const std::string expected =
        "{\n"
        "  \"date\": \"10 December 2026, 09:12 ~\",\n"
        "  \"machine\": {\"cpu\": \"Test CPU\", \"driver\": \"Vulkan 1.3.2\", \"gpu\": \"Card <1>\", "
        "\"os\": \"Linux in ~/os\", \"simd\": \"AVX2\", \"threads\": \"8\"},\n"
        "  \"chapters\": [\n"
        "    {\"key\": \"terrain\", \"ok\": true, \"seconds\": 2.3, \"stats\": [{\"value\": \"112 ms\", "
        "\"what\": \"per frame\"}, {\"value\": \"13 MB\", \"what\": \"of \\\"height\\\" data\"}]},\n"
        "    {\"key\": \"creature\", \"ok\": false, \"seconds\": 0.0, \"stats\": []}\n"
        "  ]\n"
        "}\n";
    EXPECT_EQ(resultsJson("10 December 2026, 09:12 /home/tester", machine, chapters), expected);
}

std::size_t countOf(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// The text of one chapter's section.
std::string sectionOf(const std::string& html, const std::string& key) {
    const std::size_t start = html.find("<section id=\"" + key + "\">");
    if (start == std::string::npos)
        return {};
    const std::size_t end = html.find("</section>\n", start);
    return html.substr(start, end + 11 - start);
}

std::vector<Chapter> sampleChapters() {
    std::vector<Chapter> chapters(4);
    chapters[0].key = "terrain";
    chapters[0].title = "Terrain & co";
    chapters[0].text = "It's <fast>";
    chapters[0].images = {"terrain_wide.jpg", "terrain_aerial.jpg", "terrain_close.jpg"};
    chapters[0].stats = {{"91 ms", "per frame"}};
    chapters[0].note = "A \"note\"";
    chapters[0].ok = true;
    chapters[0].seconds = 1.5;

    chapters[1].key = "creature";
    chapters[1].title = "A creature";
    chapters[1].frames = {"creature_turn_000.jpg", "creature_turn_001.jpg"};
    chapters[1].images = {"creature_posed.jpg", "creature_back.jpg"};
    chapters[1].fps = 12;
    chapters[1].ok = true;

    chapters[2].key = "pixels";
    chapters[2].title = "Pixels";
    chapters[2].images = {"pixel_wide_snapped.jpg"};
    chapters[2].originals = {"sprite_crystal.png", "sprite_barrel.png"};
    chapters[2].stats = {{"\xE2\x80\x93 ms", "synthesis"}};
    chapters[2].ok = false; // skipped, whatever it holds

    chapters[3].key = "world";
    chapters[3].title = "World";
    chapters[3].images = {};
    chapters[3].ok = true;
    return chapters;
}

TEST(ReportHtml, SkippedChapterShowsOnlyKickerTitleAndTheSentence) {
    const std::string html = reportHtml(sampleChapters(), sampleMachine(), "1 May 2026, 10:00", "{}");
    EXPECT_EQ(sectionOf(html, "pixels"),
              "<section id=\"pixels\"><div class=\"skipped\"><div class=\"kicker\">Chapter 3</div><h2>Pixels</h2>"
              "<p>This part could not run on this computer. Details are in report/log.txt.</p></div></section>\n");
}

TEST(ReportFiles, ResultsJsonIsValidJsonWhateverTheFigures) {
    std::vector<Chapter> chapters = sampleChapters();
    chapters[0].seconds = std::numeric_limits<double>::quiet_NaN();
    chapters[1].seconds = std::numeric_limits<double>::infinity();
    chapters[1].stats = {{"exact", "match between the graphics card and the exact reference"},
                         {"\xE2\x80\x93 dB", "a missing figure"}};
    MachineDescription machine = sampleMachine();
    machine["gpu"] = "llvmpipe (LLVM 15.0.6, 256 bits) \"x\"\t\\";
    const std::string text = resultsJson("1 May 2026, 10:00", machine, chapters);
    const std::optional<test::Json> json = test::readJson(text, test::JsonLayout::Spaced);
    ASSERT_TRUE(json.has_value()) << text;
    const test::Json& read = *json;
    EXPECT_EQ(read["machine"]["gpu"].text, "llvmpipe (LLVM 15.0.6, 256 bits) \"x\" \\");
    ASSERT_EQ(read["chapters"].items.size(), 4u);
    EXPECT_EQ(read["chapters"].items[0]["seconds"].type, test::Json::Type::Null);
    EXPECT_EQ(read["chapters"].items[1]["seconds"].type, test::Json::Type::Null);
    EXPECT_EQ(read["chapters"].items[2]["seconds"].text, "0.0");
    EXPECT_EQ(read["chapters"].items[1]["stats"].items[0]["value"].text, "exact");
}

TEST(ReportFiles, WritingReportsWhetherTheFileWasWritten) {
    test::TempDir dir;
    EXPECT_TRUE(writeTextFile(dir.path() / "results.json", "{}\n"));
    EXPECT_EQ(test::readFile((dir.path() / "results.json").string()).size(), 3u);
    // A folder where the file should be, and a folder that does not exist.
    std::filesystem::create_directories(dir.path() / "index.html");
    EXPECT_FALSE(writeReportHtml(dir.path(), sampleChapters(), sampleMachine(), "d", "{}"));
    EXPECT_FALSE(writeTextFile(dir.path() / "missing" / "results.json", "{}"));
    EXPECT_TRUE(writeReportHtml(dir.path() / "index.html", sampleChapters(), sampleMachine(), "d", "{}"));
}

TEST(ReportHtml, WithoutFramesTheFirstImageIsLargeAndTheRestInTheStrip) {
    const std::string html = reportHtml(sampleChapters(), sampleMachine(), "1 May 2026, 10:00", "{}");
    EXPECT_EQ(sectionOf(html, "terrain"),
              "<section id=\"terrain\"><div class=\"media\"><img src=\"terrain_wide.jpg\" alt=\"\"></div>"
              "<div class=\"strip\"><img src=\"terrain_aerial.jpg\" alt=\"\"><img src=\"terrain_close.jpg\" "
              "alt=\"\"></div><div class=\"body\"><div class=\"kicker\">Chapter 1</div><h2>Terrain &amp; co</h2>"
              "<p>It's &lt;fast&gt;</p><div class=\"stats\"><div class=\"stat\"><b>91 ms</b><span>per frame</span>"
              "</div></div><div class=\"note\">A &quot;note&quot;</div></div></section>\n");
}

TEST(ReportHtml, WithFramesTheAnimationIsLargeAndEveryImageInTheStrip) {
    const std::string html = reportHtml(sampleChapters(), sampleMachine(), "1 May 2026, 10:00", "{}");
    const std::string creature = sectionOf(html, "creature");
    EXPECT_NE(creature.find("<div class=\"media\"><img class=\"anim\" data-fps=\"12\" "
                            "data-frames=\"creature_turn_000.jpg|creature_turn_001.jpg\" "
                            "src=\"creature_turn_000.jpg\" alt=\"\"></div><div class=\"strip\">"
                            "<img src=\"creature_posed.jpg\" alt=\"\"><img src=\"creature_back.jpg\" alt=\"\"></div>"),
              std::string::npos)
        << creature;
    EXPECT_EQ(creature.find("class=\"note\""), std::string::npos); // empty note: none

    // A chapter with neither frames nor images has no media and no strip.
    const std::string world = sectionOf(html, "world");
    EXPECT_EQ(world.find("media"), std::string::npos);
    EXPECT_EQ(world.find("strip"), std::string::npos);
}

TEST(ReportHtml, OriginalsAppearAboveTheSceneOfAnOkChapter) {
    std::vector<Chapter> chapters = sampleChapters();
    chapters[2].ok = true;
    const std::string pixels = sectionOf(reportHtml(chapters, sampleMachine(), "d", "{}"), "pixels");
    EXPECT_EQ(pixels.find("<section id=\"pixels\"><div class=\"before\"><small>the flat sprites</small>"
                          "<img src=\"sprite_crystal.png\" alt=\"\"><img src=\"sprite_barrel.png\" alt=\"\">"
                          "<small>become the scene below</small></div><div class=\"media\">"
                          "<img src=\"pixel_wide_snapped.jpg\" alt=\"\"></div><div class=\"body\">"),
              0u)
        << pixels;
}

TEST(ReportHtml, PageFrameHeaderSendSectionAndEmbeddedResults) {
    const std::string results = "{\n  \"a\": \"<b> & \\\"q\\\"\"\n}\n";
    const std::string html = reportHtml(sampleChapters(), sampleMachine(), "1 May 2026, 10:00", results);
    EXPECT_EQ(html.find("<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"), 0u);
    EXPECT_NE(html.find("<title>Quillmere Showcase</title>"), std::string::npos);
    EXPECT_NE(html.find("<div class=\"meta\">1 May 2026, 10:00<br>Measured on Test CPU &middot; Card &lt;1&gt; "
                        "&middot; Linux (kernel 6.1)</div>"),
              std::string::npos);
    EXPECT_NE(html.find("<p class=\"send-line\"><b>Machine:</b> GPU Card &lt;1&gt; &middot; CPU Test CPU &middot; "
                        "driver Vulkan 1.3.2 &middot; OS Linux (kernel 6.1)</p>"),
              std::string::npos);
    EXPECT_NE(html.find("<b>Timings and image checks:</b> terrain 1.5 s, pictures ok &middot; creature 0.0 s, "
                        "pictures ok &middot; pixels 0.0 s, skipped &middot; world 0.0 s, pictures ok</p>"),
              std::string::npos);
    EXPECT_NE(html.find("<button class=\"btn\" id=\"send-results\" data-url=\"https://"), std::string::npos);
    EXPECT_EQ(resultsEndpointUrl().rfind("https://", 0), 0u);
    EXPECT_EQ(resultsEndpointUrl().substr(resultsEndpointUrl().size() - 2), "/r");
    EXPECT_NE(html.find("<p class=\"status\" id=\"send-status\" role=\"status\" aria-live=\"polite\"></p>"),
              std::string::npos);
    EXPECT_NE(html.find("<button class=\"save\" id=\"save-results\" hidden>Save results file</button></section>\n"),
              std::string::npos);
    EXPECT_NE(html.find("<pre id=\"qlmr-results\" hidden>{\n  &quot;a&quot;: &quot;&lt;b&gt; &amp; "
                        "\\&quot;q\\&quot;&quot;\n}\n</pre>"),
              std::string::npos);
    // Four chapter sections and the send section, in order, then the footer and the scripts.
    EXPECT_EQ(countOf(html, "<section"), 5u);
    EXPECT_LT(html.find("id=\"terrain\""), html.find("id=\"creature\""));
    EXPECT_LT(html.find("id=\"world\""), html.find("id=\"send\""));
    EXPECT_LT(html.find("id=\"send\""), html.find("<footer>"));
    EXPECT_LT(html.find("</main>"), html.find("<pre id=\"qlmr-results\""));
    EXPECT_EQ(countOf(html, "<script>"), 2u);
    EXPECT_EQ(html.substr(html.size() - 16), "</body>\n</html>\n");
}

} // namespace
} // namespace qlmr
