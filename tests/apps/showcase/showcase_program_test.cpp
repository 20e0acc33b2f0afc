#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include "platform_process.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

namespace fs = std::filesystem;

// Whole runs of qlmr-showcase against fake engine programs: small shell
// scripts that print the lines the launcher reads, leave PNG files in their
// working directory and note what they were given in a record folder.
class ShowcaseRun : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(engine);
        fs::create_directories(assets / "sprites");
        fs::create_directories(records);
        writePng(root / "small.png", 48, 24);
        writePng(root / "wide.png", 1400, 40);
        writePng(assets / "sprites" / "crystal.png", 16, 16);
        writePng(assets / "sprites" / "barrel.png", 16, 16);
        std::ofstream(assets / "critter.qlmr", std::ios::binary) << std::string(3072, 'c');
        std::ofstream(assets / "conformance.qlt", std::ios::binary) << std::string(2048, 't');
    }

    static void writePng(const fs::path& path, int width, int height) {
        std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
        for (std::size_t i = 0; i < rgb.size(); ++i)
            rgb[i] = static_cast<std::uint8_t>(i * 13);
        ASSERT_NE(stbi_write_png(path.c_str(), width, height, 3, rgb.data(), width * 3), 0);
    }

    // A fake program: records its working directory and arguments (and
    // whether its first path argument exists from there), then runs body.
    void writeProgram(const std::string& name, const std::string& body) {
        const fs::path path = engine / name;
        std::ofstream script(path, std::ios::binary | std::ios::trunc);
        script << "#!/bin/sh\n"
               << "SMALL='" << (root / "small.png").string() << "'\n"
               << "WIDE='" << (root / "wide.png").string() << "'\n"
               << "{ pwd; for a in \"$@\"; do echo \"<$a>\"; done; } > '" << (records / name).string() << "'\n"
               << body << "\n";
        script.close();
        fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    }

    void writeVkinfo() {
        writeProgram("qlmr-vkinfo",
                     "echo 'GPU 0: Little iGPU (integrated), Vulkan 1.2.100, subgroup 32, max workgroup 256, "
                     "compute yes'\n"
                     "echo '  smoke rounds=0  : ok, 0.512 ms GPU'\n"
                     "echo 'GPU 1: Fake Card (discrete), Vulkan 1.3.204, subgroup 32, max workgroup 1024, "
                     "compute yes'\n");
    }
    void writeTerrain(bool withTimes) {
        std::string body = "cp \"$WIDE\" valley_a.png\ncp \"$SMALL\" overview_b.png\ncp \"$SMALL\" other.png\n"
                           "cp \"$SMALL\" valley_c.txt\n";
        if (withTimes)
            body += "echo 'frame 0: GPU 4.0 ms, 12 Mrays'\necho 'frame 1: GPU 6.0 ms, 12 Mrays'\n"
                    "echo 'frame 2: GPU 5.0 ms, 12 Mrays'\n";
        writeProgram("qlmr-terrain", body);
    }
    void writeDemo() {
        writeProgram("qlmr-demo",
                     "echo 'Quillmere reference renderer | SIMD: SSE2 (4 lanes) | threads: 8 | packet 2x2 | tile 16'\n"
                     "echo 'memory: heights 13.0 MB + bounds 6.5 MB (+ albedo/material 30.9 MB) vs. equivalent "
                     "indexed mesh ~602 MB'\n"
                     "echo '[wide  ]    91.9 ms | 9.28 Mrays/s (primary 518400, shadow 334004) | hits 64.9%'\n"
                     "echo '[close ]   123.9 ms | 7.30 Mrays/s (primary 518400, shadow 385497) | hits 82.2%' 1>&2\n"
                     "echo '[aerial]    99.3 ms | 8.84 Mrays/s (primary 518400, shadow 359376) | hits 73.7%'\n"
                     "for v in wide aerial close corner; do cp \"$SMALL\" $v.png; done\n");
    }
    void writeSdna(int frames) {
        writeProgram("qlmr-sdna",
                     "echo 'critter: 57 instructions, 11 bones, 3072 bytes'\n"
                     "echo 'turntable: 36 frames at 640x360, 85.4 ms per frame'\n"
                     "i=0; while [ $i -lt " + std::to_string(frames) +
                         " ]; do cp \"$SMALL\" $(printf 'turn_%03d.png' $i); i=$((i+1)); done\n"
                         "cp \"$SMALL\" posed.png\ncp \"$SMALL\" back.png\n");
    }
    void writeGpu() {
        writeProgram("qlmr-gpu",
                     "echo '== Little iGPU'\n"
                     "echo '  [front] GPU    9.00 ms (CPU 300.0 ms, x33) | PSNR 20.00 dB, 9 px differ (max 9)'\n"
                     "echo '== Fake Card'\n"
                     "echo '  [front] GPU    2.00 ms (CPU 300.0 ms, x150) | PSNR 71.20 dB, 3 px differ (max 1)'\n"
                     "echo '  [side ] GPU    7.00 ms (CPU 300.0 ms, x43) | PSNR 64.60 dB, 4 px differ (max 1)'\n"
                     "echo '  [top  ] GPU    4.00 ms (CPU 300.0 ms, x75) | PSNR 80.00 dB, 1 px differ (max 1)'\n"
                     "exit 1\n");
    }
    void writePixelart() {
        writeProgram("qlmr-pixelart",
                     "[ -f \"$2\" ] && [ -f \"$4\" ] && echo found >> '" + (records / "pixelart-found").string() +
                         "'\n"
                         "echo 'synthesis (median of 20):'\n"
                         "echo '  sprite 64x64           S=1 field   64x64    0.412 ms  (pixels 0.010, distance "
                         "0.200, relief 0.100, pyramid 0.102)'\n"
                         "echo '  sprite 64x64           S=2 field  128x128    1.500 ms  (pixels 0.010)'\n"
                         "for v in wide close back; do cp \"$SMALL\" pixel_${v}_snapped.png; done\n");
    }
    void writeDiorama(int lastFrame) {
        writeProgram("qlmr-diorama",
                     "echo 'mean per frame: simulation 3.25 ms, render 41.5 ms'\n"
                     "i=0; while [ $i -le " + std::to_string(lastFrame) +
                         " ]; do cp \"$SMALL\" $(printf 'frame_%04d.png' $i); i=$((i+1)); done\n");
    }
    void writeEveryProgram() {
        writeVkinfo();
        writeTerrain(true);
        writeDemo();
        writeSdna(36);
        writeGpu();
        writePixelart();
        writeDiorama(149);
    }

    ProcessResult runShowcase(const std::string& extra) {
        return runProcess(QLMR_SHOWCASE_PROGRAM,
                          "--no-open --engine \"" + engine.string() + "\" --assets \"" + assets.string() +
                              "\" --out \"" + report.string() + "\"" + extra,
                          root);
    }

    std::string read(const fs::path& path) const {
        const std::vector<std::uint8_t> bytes = test::readFile(path.string());
        return std::string(bytes.begin(), bytes.end());
    }
    bool recorded(const std::string& program) const { return fs::exists(records / program); }

    std::vector<std::string> logNames() const {
        std::vector<std::string> names;
        const std::string log = read(report / "log.txt");
        const std::regex header("(^|\n)==== (.*?) \\(exit (-?[0-9]+), [0-9.]+ s\\)\n");
        for (std::sregex_iterator it(log.begin(), log.end(), header), end; it != end; ++it)
            names.push_back((*it)[2].str() + " " + (*it)[3].str());
        return names;
    }

    static std::pair<int, int> imageSize(const fs::path& path) {
        int width = 0, height = 0, channels = 0;
        if (!stbi_info(path.c_str(), &width, &height, &channels))
            return {0, 0};
        return {width, height};
    }

    test::TempDir dir;
    const fs::path root = dir.path();
    const fs::path engine = root / "engine";
    const fs::path assets = root / "assets";
    const fs::path records = root / "records";
    const fs::path report = root / "report out";
};

TEST_F(ShowcaseRun, EveryChapterRunsOnTheChosenCard) {
    writeEveryProgram();
    const ProcessResult run = runShowcase("");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("\n  Quillmere Showcase\n  Looking at this computer...\n\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(run.output, std::regex("  1/4  Real terrain, without triangles {13}done \\(0 s\\)\n")))
        << run.output;
    EXPECT_NE(run.output.find("  Done. The report opens in your browser:\n  " + (report / "index.html").string()),
              std::string::npos);

    EXPECT_EQ(logNames(), (std::vector<std::string>{"vkinfo 0", "terrain 0", "sdna 0", "gpu --sdna 1", "pixelart 0",
                                                    "diorama 0"}));

    // The chosen card is the discrete one; qlmr-terrain gets its index and
    // a landscape path that resolves from its own directory.
    const std::string terrainArgs = read(records / "qlmr-terrain");
    EXPECT_NE(terrainArgs.find("report out/work/terrain\n<../../../assets/conformance.qlt>\n<--out>\n<.>\n<--gpu>\n<1>\n"),
              std::string::npos)
        << terrainArgs;
    EXPECT_NE(read(records / "qlmr-sdna")
                  .find("report out/work/creature\n<--load>\n<../../../assets/critter.qlmr>\n<--out>\n<.>\n<--size>\n"
                        "<640>\n<360>\n<--turntable>\n<36>\n"),
              std::string::npos);
    EXPECT_NE(read(records / "qlmr-gpu").find("report out/work/creature_gpu\n<--sdna>\n<../../../assets/critter.qlmr>\n"),
              std::string::npos);
    EXPECT_NE(read(records / "qlmr-diorama")
                  .find("<--frames>\n<150>\n<--width>\n<640>\n<--height>\n<360>\n<--assets>\n"
                        "<../../../assets/sprites>\n<--out>\n<.>\n"),
              std::string::npos);
    EXPECT_EQ(read(records / "pixelart-found"), "found\n");
    // qlmr-vkinfo runs in the work directory itself, with no arguments.
    EXPECT_EQ(read(records / "qlmr-vkinfo"), (fs::canonical(report) / "work").string() + "\n");

    const std::string results = read(report / "results.json");
    EXPECT_NE(results.find("\"driver\": \"Vulkan 1.3.204\", \"gpu\": \"Fake Card\""), std::string::npos) << results;
    EXPECT_NE(results.find("\"stats\": [{\"value\": \"2 KB\", \"what\": \"the whole landscape on disk (513 x 513 "
                           "elevation points)\"}, {\"value\": \"5.0 ms\", \"what\": \"per 1280 x 720 frame on Fake "
                           "Card\"}, {\"value\": \"200\", \"what\": \"frames per second at that speed\"}]}"),
              std::string::npos)
        << results;
    EXPECT_NE(results.find("{\"value\": \"3.0 KB\", \"what\": \"the whole creature on disk (57 instructions)\"}, "
                           "{\"value\": \"4 ms\", \"what\": \"per 640 x 360 frame on Fake Card\"}, {\"value\": "
                           "\"65 dB\""),
              std::string::npos)
        << results;
    EXPECT_NE(results.find("{\"value\": \"0.41 ms\""), std::string::npos);
    EXPECT_NE(results.find("{\"value\": \"3 ms\", \"what\": \"per frame for the physics"), std::string::npos);
    EXPECT_NE(results.find("{\"value\": \"42 ms\", \"what\": \"per frame to draw it"), std::string::npos);
    for (const char* key : {"terrain", "creature", "pixels", "world"})
        EXPECT_NE(results.find(std::string("{\"key\": \"") + key + "\", \"ok\": true"), std::string::npos) << key;

    // Pictures: terrain by prefix (valley before overview), shrunk to 1280 wide at most.
    EXPECT_EQ(imageSize(report / "terrain_0.jpg"), std::make_pair(700, 20));
    EXPECT_EQ(imageSize(report / "terrain_1.jpg"), std::make_pair(48, 24));
    EXPECT_FALSE(fs::exists(report / "terrain_2.jpg"));
    for (int i = 0; i < 36; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "creature_turn_%03d.jpg", i);
        EXPECT_EQ(imageSize(report / name), std::make_pair(48, 24)) << name;
    }
    int worldFrames = 0;
    for (const auto& entry : fs::directory_iterator(report))
        worldFrames += entry.path().filename().string().rfind("world_frame_", 0) == 0;
    EXPECT_EQ(worldFrames, 75);
    EXPECT_TRUE(fs::exists(report / "world_frame_0148.jpg"));
    EXPECT_FALSE(fs::exists(report / "world_frame_0001.jpg"));
    for (const char* name : {"creature_posed.jpg", "creature_back.jpg", "pixel_wide_snapped.jpg",
                             "pixel_close_snapped.jpg", "pixel_back_snapped.jpg"})
        EXPECT_EQ(imageSize(report / name), std::make_pair(48, 24)) << name;
    EXPECT_EQ(read(report / "sprite_crystal.png"), read(assets / "sprites" / "crystal.png"));
    EXPECT_EQ(read(report / "sprite_barrel.png"), read(assets / "sprites" / "barrel.png"));
    EXPECT_FALSE(fs::exists(report / "work"));

    const std::string html = read(report / "index.html");
    EXPECT_EQ(html.find("class=\"skipped\""), std::string::npos);
    EXPECT_NE(html.find("<div class=\"media\"><img src=\"terrain_0.jpg\" alt=\"\"></div><div class=\"strip\">"
                        "<img src=\"terrain_1.jpg\" alt=\"\"></div>"),
              std::string::npos);
    EXPECT_NE(html.find("<img class=\"anim\" data-fps=\"12\" data-frames=\"creature_turn_000.jpg|"),
              std::string::npos);
    EXPECT_NE(html.find("<img class=\"anim\" data-fps=\"8\" data-frames=\"world_frame_0000.jpg|world_frame_0002.jpg|"),
              std::string::npos);
    EXPECT_NE(html.find("<img src=\"sprite_crystal.png\" alt=\"\">"), std::string::npos);
    EXPECT_NE(html.find("<pre id=\"qlmr-results\" hidden>{\n  &quot;date&quot;: "), std::string::npos);
}

TEST_F(ShowcaseRun, CpuOnlyRunUsesTheReferenceRendererAndNeverTheCard) {
    writeEveryProgram();
    writeDiorama(72); // frames 0, 2, ..., 72: 37 pictures, one too few
    const ProcessResult run = runShowcase(" --cpu");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("A small living world                        skipped, see log ("), std::string::npos)
        << run.output;
    EXPECT_FALSE(recorded("qlmr-vkinfo"));
    EXPECT_FALSE(recorded("qlmr-terrain"));
    EXPECT_FALSE(recorded("qlmr-gpu"));
    EXPECT_EQ(logNames(), (std::vector<std::string>{"demo (CPU terrain) 0", "sdna 0", "pixelart 0", "diorama 0"}));
    EXPECT_NE(read(records / "qlmr-demo").find("<--out>\n<.>\n<--width>\n<960>\n<--height>\n<540>\n"),
              std::string::npos);

    const std::string results = read(report / "results.json");
    EXPECT_NE(results.find("\"driver\": \"CPU only (no Vulkan driver)\", \"gpu\": \"no compatible GPU (CPU only)\""),
              std::string::npos)
        << results;
    // Median of 91.9, 123.9 (written to standard error) and 99.3.
    EXPECT_NE(results.find("{\"value\": \"99 ms\", \"what\": \"per 960 x 540 frame on the processor alone\"}, "
                           "{\"value\": \"13 MB\""),
              std::string::npos)
        << results;
    EXPECT_NE(results.find("{\"value\": \"85 ms\", \"what\": \"per frame with the exact reference on the processor\"}"),
              std::string::npos);
    EXPECT_NE(results.find("{\"key\": \"world\", \"ok\": false"), std::string::npos);

    const std::string html = read(report / "index.html");
    EXPECT_NE(html.find("<h2>Detailed terrain, without triangles</h2>"), std::string::npos);
    EXPECT_NE(html.find("<div class=\"note\">No compatible graphics card was found"), std::string::npos);
    EXPECT_NE(html.find("<div class=\"note\">Drawn by the exact reference renderer on the processor: no compatible "
                        "graphics card was found.</div>"),
              std::string::npos);
    EXPECT_NE(html.find("<section id=\"world\"><div class=\"skipped\"><div class=\"kicker\">Chapter 4</div>"
                        "<h2>A small living world</h2><p>This part"),
              std::string::npos);
    // Pictures of a skipped chapter are still written, just not shown.
    EXPECT_TRUE(fs::exists(report / "world_frame_0072.jpg"));
    EXPECT_EQ(html.find("world_frame_0000.jpg"), std::string::npos);
    EXPECT_TRUE(fs::exists(report / "terrain_wide.jpg"));
    EXPECT_FALSE(fs::exists(report / "work"));
}

TEST_F(ShowcaseRun, TerrainWithoutFrameTimesFallsBackAndKeepsItsPictures) {
    writeEveryProgram();
    writeTerrain(false);
    writeSdna(35); // one turntable frame short: skipped, so no card comparison either
    const ProcessResult run = runShowcase("");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_EQ(logNames(), (std::vector<std::string>{"vkinfo 0", "terrain 0", "demo (CPU terrain) 0", "sdna 0",
                                                    "pixelart 0", "diorama 0"}));
    EXPECT_FALSE(recorded("qlmr-gpu"));
    const std::string html = read(report / "index.html");
    EXPECT_NE(html.find("<section id=\"terrain\"><div class=\"media\"><img src=\"terrain_0.jpg\" alt=\"\"></div>"
                        "<div class=\"strip\"><img src=\"terrain_1.jpg\" alt=\"\"><img src=\"terrain_wide.jpg\" "
                        "alt=\"\"><img src=\"terrain_aerial.jpg\" alt=\"\"><img src=\"terrain_close.jpg\" alt=\"\">"
                        "</div>"),
              std::string::npos)
        << html.substr(0, 200);
    EXPECT_NE(html.find("<h2>Detailed terrain, without triangles</h2>"), std::string::npos);
    EXPECT_NE(html.find("<section id=\"creature\"><div class=\"skipped\">"), std::string::npos);
}

TEST_F(ShowcaseRun, MissingProgramsSkipEveryChapterButTheReportIsWritten) {
    const ProcessResult run = runShowcase("");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(logNames(), (std::vector<std::string>{"vkinfo -1", "demo (CPU terrain) -1", "sdna -1", "pixelart -1",
                                                    "diorama -1"}));
    const std::string log = read(report / "log.txt");
    EXPECT_NE(log.find(" s)\ncould not start " + (engine / "qlmr-sdna").string() + "\n"), std::string::npos) << log;
    const std::string html = read(report / "index.html");
    std::size_t skipped = 0;
    for (std::size_t at = html.find("class=\"skipped\""); at != std::string::npos;
         at = html.find("class=\"skipped\"", at + 1))
        ++skipped;
    EXPECT_EQ(skipped, 4u);
    EXPECT_NE(html.find("<h2>Real terrain, without triangles</h2>"), std::string::npos);
    const std::string results = read(report / "results.json");
    EXPECT_NE(results.find("{\"key\": \"terrain\", \"ok\": false, \"seconds\": "), std::string::npos);
    EXPECT_NE(results.find("{\"value\": \"\xE2\x80\x93 KB\""), std::string::npos); // unread figures: en dash
    EXPECT_FALSE(fs::exists(report / "work"));
}

TEST_F(ShowcaseRun, AnUnknownWordPrintsUsageAndTouchesNothing) {
    fs::create_directories(report);
    std::ofstream(report / "keep.txt") << "keep";
    const ProcessResult run = runShowcase(" --help");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "usage: \"QLMR Showcase\" [--cpu] [--no-open] [--engine DIR] [--assets DIR] [--out DIR]\n");
    EXPECT_EQ(read(report / "keep.txt"), "keep");
    EXPECT_FALSE(fs::exists(report / "log.txt"));
}

TEST_F(ShowcaseRun, AnEarlierReportIsRemovedFirst) {
    fs::create_directories(report / "old");
    std::ofstream(report / "stale.jpg") << "old";
    writeEveryProgram();
    const ProcessResult run = runShowcase(" --cpu");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_FALSE(fs::exists(report / "stale.jpg"));
    EXPECT_FALSE(fs::exists(report / "old"));
    EXPECT_TRUE(fs::exists(report / "index.html"));
}

} // namespace
} // namespace qlmr
