#include "showcase_run_fixture.h"

#include <cstdlib>
#include <optional>
#include <regex>
#include <sstream>
#include <unistd.h>

#include "support/json_reader.h"

namespace qlmr {
namespace {

// A run on this machine's own graphics card: the real qlmr-vkinfo chooses
// the card and the real qlmr-gpu --sdna compares it (at a small size, so
// the run takes about a second); the other programs are the fakes. Then the
// page is opened in headless Chromium, which must show the card's figures.
class ShowcaseOnThisMachine : public ShowcaseRun {
protected:
    void SetUp() override {
        ShowcaseRun::SetUp();
        const test::ProgramRun probe = test::runProgram(QLMR_VKINFO_PROGRAM, {"--json"});
        const std::optional<test::Json> json = test::readJson(probe.output.substr(0, probe.output.find('\n')));
        if (probe.exitCode == 0 && json && !(*json)["devices"].items.empty()) {
            // The card the launcher must choose: the first discrete, else the first.
            const std::vector<test::Json>& devices = (*json)["devices"].items;
            expectedCard = devices.front()["name"].text;
            for (const test::Json& device : devices) {
                if (device["class"].text == "discrete") {
                    expectedCard = device["name"].text;
                    break;
                }
            }
            return;
        }
        if (test::runningInCi())
            FAIL() << "no Vulkan device in CI: " << probe.output;
        GTEST_SKIP() << "no Vulkan device: " << probe.output;
    }

    // Debian's chromium, from PATH; empty when it is not installed.
    static std::string findChromium() {
        const char* path = std::getenv("PATH");
        std::stringstream folders(path ? path : "");
        std::string folder;
        while (std::getline(folders, folder, ':')) {
            const fs::path candidate = fs::path(folder) / "chromium";
            if (!folder.empty() && access(candidate.c_str(), X_OK) == 0)
                return candidate.string();
        }
        return {};
    }

    std::string expectedCard;
};

// The text of the element that begins at `start`: the DOM Chromium dumps.
std::string sectionText(const std::string& dom, const std::string& start) {
    const std::size_t at = dom.find(start);
    if (at == std::string::npos)
        return {};
    return dom.substr(at, dom.find("</section>", at) - at);
}

TEST_F(ShowcaseOnThisMachine, TheChosenCardsFiguresAreOnThePageInABrowser) {
    writeEveryProgram();
    fs::remove(engine / "qlmr-vkinfo");
    fs::create_symlink(QLMR_VKINFO_PROGRAM, engine / "qlmr-vkinfo");
    writeProgram("qlmr-gpu", std::string("exec '") + QLMR_GPU_PROGRAM +
                                 "' \"$@\" --width 64 --height 36 --frames 1\n");
    fs::copy_file(QLMR_CRITTER_FILE, assets / "critter.qlmr", fs::copy_options::overwrite_existing);

    const ProcessResult run = runShowcase();
    ASSERT_EQ(run.exitCode, 0) << run.output << read(report / "log.txt");
    const std::string text = read(report / "results.json");
    const std::optional<test::Json> json = test::readJson(text, test::JsonLayout::Spaced);
    ASSERT_TRUE(json.has_value()) << text;
    EXPECT_EQ((*json)["machine"]["gpu"].text, expectedCard);
    const test::Json& creature = (*json)["chapters"].items.at(1);
    ASSERT_EQ(creature["stats"].items.size(), 3u) << text << read(report / "log.txt");
    const std::string gpuTime = creature["stats"].items[1]["value"].text;
    const std::string match = creature["stats"].items[2]["value"].text;
    EXPECT_TRUE(std::regex_match(gpuTime, std::regex("[0-9]+ ms"))) << gpuTime;
    EXPECT_EQ(creature["stats"].items[1]["what"].text, "per 640 x 360 frame on " + expectedCard);
    // Identical images read as exact; a measured match is far above 0 dB.
    EXPECT_TRUE(match == "exact" || std::regex_match(match, std::regex("[1-9][0-9]* dB"))) << match;

    const std::string chromium = findChromium();
    if (chromium.empty()) {
        if (test::runningInCi())
            FAIL() << "chromium is not installed (build.sh installs it)";
        GTEST_SKIP() << "chromium is not installed";
    }
    test::TempDir profile;
    const test::ProgramRun browser = test::runProgram(
        "/usr/bin/timeout",
        {"60", chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + profile.path().string(), "--dump-dom", "file://" + (report / "index.html").string()},
        [] {
            test::RunOptions options;
            options.separateErrors = true;
            return options;
        }());
    ASSERT_EQ(browser.exitCode, 0) << browser.errors;
    const std::string& dom = browser.output;
    EXPECT_NE(sectionText(dom, "<div class=\"meta\">").find(" · " + expectedCard + " · "), std::string::npos) << dom;
    const std::string figures = sectionText(dom, "<section id=\"creature\">");
    EXPECT_NE(figures.find("<div class=\"stat\"><b>" + gpuTime + "</b><span>per 640 x 360 frame on " + expectedCard +
                           "</span></div>"),
              std::string::npos)
        << figures;
    EXPECT_NE(figures.find("<div class=\"stat\"><b>" + match + "</b>"), std::string::npos) << figures;
    EXPECT_NE(figures.find("<img class=\"anim\""), std::string::npos);
    EXPECT_EQ(dom.find("class=\"skipped\""), std::string::npos);
}

} // namespace
} // namespace qlmr
