#include "showcase_run_fixture.h"

#include <functional>
#include <map>
#include <optional>
#include <set>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "report_folder.h"
#include "support/json_reader.h"
#include "support/write_failures.h"

namespace qlmr {
namespace {

TEST_F(ShowcaseRun, EveryChapterRunsOnTheChosenCard) {
    writeEveryProgram();
    const ProcessResult run = runShowcase();
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
    const ProcessResult run = runShowcase({"--cpu"});
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

// Each chapter is ok exactly when its child ended with 0 and left enough
// pictures: all 36 turntable frames, all 3 pixel-art views, at least 38 of
// the 75 world frames. One chapter short of that skips it and makes the
// run's exit code 1; everything else stays as the full fixture has it.
TEST_F(ShowcaseRun, EachChapterCountsItsPicturesAndItsChildsExitCode) {
    struct Case {
        const char* label;
        std::function<void()> change;
        const char* skipped; // the chapter key, or nullptr when every chapter is ok
    };
    const std::string threeViews = "for v in wide close back; do cp \"$SMALL\" pixel_${v}_snapped.png; done\n";
    const std::vector<Case> cases = {
        {"world with 38 frames", [this] { writeDiorama(74); }, nullptr},
        {"world with 37 frames", [this] { writeDiorama(73); }, "world"},
        {"world whose child failed",
         [this] {
             writeProgram("qlmr-diorama", "i=0; while [ $i -le 149 ]; do cp \"$SMALL\" $(printf 'frame_%04d.png' "
                                            "$i); i=$((i+1)); done\nexit 2\n");
         },
         "world"},
        {"creature with 35 frames", [this] { writeSdna(35); }, "creature"},
        {"pixels with two of three views",
         [this] {
             writeProgram("qlmr-pixelart", "for v in wide close; do cp \"$SMALL\" pixel_${v}_snapped.png; done\n");
         },
         "pixels"},
        {"pixels whose child failed",
         [&] { writeProgram("qlmr-pixelart", threeViews + "exit 1\n"); }, "pixels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        writeEveryProgram();
        c.change();
        const ProcessResult run = runShowcase();
        EXPECT_EQ(run.exitCode, c.skipped ? 1 : 0) << run.output;
        const std::string results = read(report / "results.json");
        for (const char* key : {"terrain", "creature", "pixels", "world"}) {
            const bool ok = !c.skipped || std::string(key) != c.skipped;
            EXPECT_NE(results.find(std::string("{\"key\": \"") + key + "\", \"ok\": " + (ok ? "true" : "false")),
                      std::string::npos)
                << key << "\n" << results;
        }
    }
}

TEST_F(ShowcaseRun, TerrainWithoutFrameTimesFallsBackAndKeepsItsPictures) {
    writeEveryProgram();
    writeTerrain(false);
    writeSdna(35); // one turntable frame short: skipped, so no card comparison either
    const ProcessResult run = runShowcase();
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
    const ProcessResult run = runShowcase();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(logNames(), (std::vector<std::string>{"vkinfo -1", "demo (CPU terrain) -1", "sdna -1", "pixelart -1",
                                                    "diorama -1"}));
    const std::string log = read(report / "log.txt");
    EXPECT_NE(log.find(" s)\ncould not start " + (engine / "qlmr-sdna").string() + "\n==== pixelart (exit -1, "),
              std::string::npos)
        << log;
    for (const char* line : {"  1/4  Real terrain, without triangles             skipped, see log (",
                             "  2/4  A creature written in 3 KB                  skipped, see log (",
                             "  3/4  Pixel art becomes relief                    skipped, see log (",
                             "  4/4  A small living world                        skipped, see log ("})
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    const std::string html = read(report / "index.html");
    for (const char* key : {"terrain", "creature", "pixels", "world"})
        EXPECT_NE(html.find(std::string("<section id=\"") + key + "\"><div class=\"skipped\">"), std::string::npos)
            << key;
    const std::string skipped = "<p>This part could not run on this computer. Details are in report/log.txt.</p>";
    std::size_t count = 0;
    for (std::size_t at = html.find(skipped); at != std::string::npos; at = html.find(skipped, at + 1))
        ++count;
    EXPECT_EQ(count, 4u);
    EXPECT_NE(html.find("<h2>Real terrain, without triangles</h2>"), std::string::npos);
    const std::string results = read(report / "results.json");
    EXPECT_NE(results.find("{\"key\": \"terrain\", \"ok\": false, \"seconds\": "), std::string::npos);
    EXPECT_NE(results.find("{\"value\": \"\xE2\x80\x93 KB\""), std::string::npos); // unread figures: en dash
    EXPECT_FALSE(fs::exists(report / "work"));
}

// Started with SIGCHLD ignored (here by bash's trap, which exec keeps), the
// launcher still reads its children's exit codes.
TEST_F(ShowcaseRun, ChildrenAreJudgedByTheirExitCodesWhenStartedWithChildSignalsIgnored) {
    writeEveryProgram();
    std::vector<std::string> arguments = {"-c", "trap '' CHLD; exec \"$0\" \"$@\"", QLMR_SHOWCASE_PROGRAM};
    for (const std::string& argument : launcherArguments())
        arguments.push_back(argument);
    const ProcessResult run = runProcess("/bin/bash", arguments, root);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(logNames(), (std::vector<std::string>{"vkinfo 0", "terrain 0", "sdna 0", "gpu --sdna 1", "pixelart 0",
                                                    "diorama 0"}));
}

TEST_F(ShowcaseRun, AnUnknownWordPrintsUsageAndTouchesNothing) {
    fs::create_directories(report);
    std::ofstream(report / "keep.txt") << "keep";
    const ProcessResult run = runShowcase({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "usage: \"QLMR Showcase\" [--cpu] [--no-open] [--engine DIR] [--assets DIR] [--out DIR]\n");
    EXPECT_EQ(read(report / "keep.txt"), "keep");
    EXPECT_FALSE(fs::exists(report / "log.txt"));
}

// The usage line is the whole answer to a word the launcher does not know:
// when it cannot reach standard output (a full disk behind a redirection),
// the launcher says so and ends with exit code 1 instead of 0.
TEST_F(ShowcaseRun, AUsageLineThatCannotBeWrittenEndsWithExitCodeOne) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "/dev/full is not available";
    test::RunOptions options;
    options.outputFile = "/dev/full";
    const test::ProgramRun run = runShowcaseApart(launcherArguments({"--help"}), options);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.errors, "QLMR Showcase: could not write the usage line to standard output\n");
    EXPECT_FALSE(fs::exists(report));
}

TEST_F(ShowcaseRun, AnEarlierReportLosesOnlyWhatTheLauncherWrote) {
    writeEveryProgram();
    ASSERT_EQ(runShowcase().exitCode, 0);
    ASSERT_TRUE(fs::exists(report / "world_frame_0148.jpg"));
    ASSERT_TRUE(fs::exists(report / "terrain_0.jpg"));

    // The user's own things in the report folder, and links with report
    // names pointing out of it.
    const fs::path outside = root / "outside";
    fs::create_directories(outside / "album");
    std::ofstream(outside / "photo.jpg") << "outside photo";
    std::ofstream(outside / "album" / "precious.txt") << "outside album";
    std::ofstream(report / "notes.txt") << "mine";
    fs::create_directories(report / "photos");
    std::ofstream(report / "photos" / "terrain_0.jpg") << "mine too";
    fs::create_symlink(outside / "photo.jpg", report / "terrain_7.jpg");
    fs::create_directories(report / "work");
    fs::create_directory_symlink(outside / "album", report / "work" / "album");

    writeDiorama(100); // the second run has fewer world frames and no card
    const ProcessResult run = runShowcase({"--cpu"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_FALSE(fs::exists(report / "world_frame_0148.jpg")); // stale pictures of the first run are gone
    EXPECT_FALSE(fs::exists(report / "terrain_0.jpg"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(report / "terrain_7.jpg")));
    EXPECT_TRUE(fs::exists(report / "world_frame_0100.jpg"));
    EXPECT_TRUE(fs::exists(report / "index.html"));
    EXPECT_EQ(read(report / "notes.txt"), "mine");
    EXPECT_EQ(read(report / "photos" / "terrain_0.jpg"), "mine too");
    EXPECT_EQ(read(outside / "photo.jpg"), "outside photo");
    EXPECT_EQ(read(outside / "album" / "precious.txt"), "outside album");
}

// Every --out that is not a report of the launcher's own, or that holds
// what the user or the launcher needs, is refused before any child runs:
// one line on standard error naming it, exit code 1, nothing deleted or
// written. Each case has canaries that must survive.
TEST_F(ShowcaseRun, AForeignOrVitalReportFolderIsRefusedAndLeftAlone) {
    writeEveryProgram();
    const fs::path cases = root / "cases";
    auto makeFile = [](const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    };
    // A marker where the folder is refused for what it is, not for lacking one.
    auto mark = [&](const fs::path& folder) { makeFile(folder / kReportMarkerName, reportMarkerText()); };

    struct Case {
        std::string name;
        fs::path out;                  // as given on the command line
        fs::path named;                // the path the message must name
        fs::path workingDirectory;
        fs::path launcher = QLMR_SHOWCASE_PROGRAM;
        fs::path assetsFolder;         // empty: the fixture's
        std::map<std::string, std::optional<std::string>> environment;
        std::vector<fs::path> canaries;
    };
    auto makeCase = [](std::string name, fs::path out, fs::path named, fs::path workingDirectory) {
        Case c;
        c.name = std::move(name);
        c.out = std::move(out);
        c.named = std::move(named);
        c.workingDirectory = std::move(workingDirectory);
        return c;
    };
    std::vector<Case> table;
    {
        Case c = makeCase("a folder of the user's", cases / "user", cases / "user", root);
        makeFile(cases / "user" / "thesis.txt", "canary");
        makeFile(cases / "user" / "index.html", "canary");
        c.canaries = {cases / "user" / "thesis.txt", cases / "user" / "index.html"};
        table.push_back(c);
    }
    {
        Case c = makeCase("the current folder", ".", cases / "current" / ".", cases / "current");
        makeFile(cases / "current" / "thesis.txt", "canary");
        mark(cases / "current");
        c.canaries = {cases / "current" / "thesis.txt"};
        table.push_back(c);
    }
    {
        Case c = makeCase("a regular file", cases / "file.txt", cases / "file.txt", root);
        makeFile(cases / "file.txt", "canary");
        c.canaries = {cases / "file.txt"};
        table.push_back(c);
    }
    {
        // A copy of the launcher in a folder of its own, asked to write there.
        const fs::path folder = cases / "delivery";
        fs::create_directories(folder);
        fs::copy_file(QLMR_SHOWCASE_PROGRAM, folder / "qlmr-showcase");
        makeFile(folder / "README.txt", "canary");
        mark(folder);
        Case c = makeCase("the launcher's own folder", folder, folder, root);
        c.launcher = folder / "qlmr-showcase";
        c.canaries = {folder / "qlmr-showcase", folder / "README.txt"};
        table.push_back(c);
    }
    {
        // A folder that holds the assets (here marked, as if a report had
        // been written there before the assets were moved in).
        const fs::path folder = cases / "pack";
        makeFile(folder / "assets" / "critter.qlmr", "canary");
        mark(folder);
        Case c = makeCase("a folder holding the assets", folder, folder, root);
        c.assetsFolder = folder / "assets";
        c.canaries = {folder / "assets" / "critter.qlmr"};
        table.push_back(c);
    }
    {
        const fs::path home = cases / "home";
        makeFile(home / ".profile", "canary");
        mark(home);
        Case c = makeCase("the home folder", home, home, root);
        c.environment["HOME"] = home.string();
        c.canaries = {home / ".profile"};
        table.push_back(c);
    }

    auto contents = [&](const fs::path& canary) {
        return fs::is_regular_file(canary) ? read(canary) : std::string("(gone, or no longer a file)");
    };
    for (const Case& c : table) {
        std::map<fs::path, std::string> before;
        for (const fs::path& canary : c.canaries)
            before[canary] = contents(canary);
        const fs::path refused = c.out.is_absolute() ? c.out : c.workingDirectory / c.out;
        std::set<std::string> entriesBefore;
        if (fs::is_directory(refused))
            for (const auto& entry : fs::directory_iterator(refused))
                entriesBefore.insert(entry.path().filename().string());

        test::RunOptions options;
        options.workingDirectory = c.workingDirectory;
        options.environment = c.environment;
        const fs::path assetsFolder = c.assetsFolder.empty() ? assets : c.assetsFolder;
        const test::ProgramRun run = runShowcaseApart(
            {"--no-open", "--engine", engine.string(), "--assets", assetsFolder.string(), "--out", c.out.string()},
            options, c.launcher);

        EXPECT_EQ(run.exitCode, 1) << c.name;
        EXPECT_EQ(run.output, "") << c.name; // not even the banner
        EXPECT_EQ(test::lines(run.errors).size(), 1u) << c.name << ": " << run.errors;
        EXPECT_NE(run.errors.find("\"" + c.named.string() + "\""), std::string::npos) << c.name << ": " << run.errors;
        for (const fs::path& canary : c.canaries)
            EXPECT_EQ(contents(canary), before[canary]) << c.name << ": " << canary;
        std::set<std::string> entriesAfter;
        if (fs::is_directory(refused))
            for (const auto& entry : fs::directory_iterator(refused))
                entriesAfter.insert(entry.path().filename().string());
        EXPECT_EQ(entriesAfter, entriesBefore) << c.name; // nothing deleted, nothing written
        EXPECT_FALSE(recorded("qlmr-vkinfo")) << c.name;  // no child ran
    }
}

// An assets folder whose name holds quotes, blanks and the look of an
// option reaches every child as one path.
TEST_F(ShowcaseRun, AssetPathsReachTheChildrenAsSingleWords) {
    writeEveryProgram();
    const fs::path oddAssets = root / "-a\" --width \"7 it's";
    fs::rename(assets, oddAssets);
    std::vector<std::string> arguments = launcherArguments();
    arguments[4] = oddAssets.string();
    const ProcessResult run = runProcess(QLMR_SHOWCASE_PROGRAM, arguments, root);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string relative = "../../../-a\" --width \"7 it's";
    EXPECT_NE(read(records / "qlmr-pixelart")
                  .find("report out/work/pixels\n<--sprite>\n<" + relative + "/sprites/crystal.png>\n<--sprite>\n<" +
                        relative + "/sprites/barrel.png>\n<--runs>\n<20>\n<--out>\n<.>\n"),
              std::string::npos)
        << read(records / "qlmr-pixelart");
    EXPECT_EQ(read(records / "pixelart-found"), "found\n");
    EXPECT_NE(read(records / "qlmr-terrain").find("\n<" + relative + "/conformance.qlt>\n<--out>\n"),
              std::string::npos);
    EXPECT_NE(read(records / "qlmr-sdna").find("\n<--load>\n<" + relative + "/critter.qlmr>\n<--out>\n"),
              std::string::npos);
    EXPECT_NE(read(records / "qlmr-gpu").find("\n<--sdna>\n<" + relative + "/critter.qlmr>\n"), std::string::npos);
    EXPECT_NE(read(records / "qlmr-diorama").find("\n<--assets>\n<" + relative + "/sprites>\n<--out>\n"),
              std::string::npos);
}

// The figures of the chosen card: its whole name matches qlmr-gpu's section
// even when it holds " (", a card whose smoke test failed is passed over,
// and identical images read as an exact match, in valid JSON.
TEST_F(ShowcaseRun, TheChosenCardsFiguresAreShownHonestly) {
    writeEveryProgram();
    writeProgram("qlmr-vkinfo",
                 "echo 'GPU 0: Broken Card (discrete), Vulkan 1.3.0, subgroup 32, max workgroup 1024, compute yes'\n"
                 "echo '  smoke rounds=0  : ok, 0.5 ms GPU'\n"
                 "echo '  smoke rounds=256: MISMATCH, 2.0 ms GPU, ~511 G int-ops/s'\n"
                 "echo 'GPU 1: llvmpipe (LLVM 15.0.6, 256 bits) (cpu), Vulkan 1.3.230, subgroup 8, max workgroup "
                 "1024, compute yes'\n"
                 "echo '  smoke rounds=0  : ok, 2.386 ms GPU'\n"
                 "echo '  smoke rounds=256: ok, 147.149 ms GPU, ~7 G int-ops/s'\n"
                 "exit 1\n");
    writeProgram("qlmr-gpu",
                 "echo '== Broken Card'\n"
                 "echo '  [front] GPU    1.00 ms (CPU 300.0 ms, x300) | PSNR 9.00 dB, 9 px differ (max 99)'\n"
                 "echo '== llvmpipe (LLVM 15.0.6, 256 bits)'\n"
                 "echo '  [front] GPU 4415.60 ms (CPU  751.0 ms, x0) | PSNR exact, 0 px differ (max 0)'\n"
                 "echo '  [back ] GPU 5085.18 ms (CPU  846.1 ms, x0) | PSNR exact, 0 px differ (max 0)'\n"
                 "echo '  [posed] GPU 2956.10 ms (CPU  682.3 ms, x0) | PSNR exact, 0 px differ (max 0)'\n");
    const ProcessResult run = runShowcase();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(read(records / "qlmr-terrain").find("<--gpu>\n<1>\n"), std::string::npos);

    const std::string text = read(report / "results.json");
    const std::optional<test::Json> json = test::readJson(text, test::JsonLayout::Spaced);
    ASSERT_TRUE(json.has_value()) << text;
    EXPECT_EQ((*json)["machine"]["gpu"].text, "llvmpipe (LLVM 15.0.6, 256 bits)");
    EXPECT_EQ((*json)["machine"]["driver"].text, "Vulkan 1.3.230");
    const test::Json& creature = (*json)["chapters"].items.at(1);
    ASSERT_EQ(creature["stats"].items.size(), 3u) << text;
    EXPECT_EQ(creature["stats"].items[1]["value"].text, "4416 ms");
    EXPECT_EQ(creature["stats"].items[1]["what"].text, "per 640 x 360 frame on llvmpipe (LLVM 15.0.6, 256 bits)");
    EXPECT_EQ(creature["stats"].items[2]["value"].text, "exact");
    EXPECT_EQ(creature["stats"].items[2]["what"].text,
              "match between the graphics card and the exact reference: the images are identical");

    const std::string html = read(report / "index.html");
    EXPECT_NE(html.find("<div class=\"stat\"><b>exact</b><span>match between the graphics card and the exact "
                        "reference: the images are identical</span></div>"),
              std::string::npos);
    EXPECT_NE(html.find("per 1280 x 720 frame on llvmpipe (LLVM 15.0.6, 256 bits)"), std::string::npos);
    EXPECT_EQ(html.find("no compatible graphics card"), std::string::npos);
    EXPECT_EQ(html.find("Broken Card"), std::string::npos);
}

// What each chapter's note says when a card was chosen but the program
// that uses it is missing or did not deliver.
TEST_F(ShowcaseRun, NotesSayWhyTheCardWasNotUsed) {
    struct Case {
        const char* name;
        std::function<void()> setUp;
        const char* terrainNote;
        const char* creatureNote;
    };
    const Case cases[] = {
        {"this delivery: no qlmr-terrain, qlmr-sdna or qlmr-diorama",
         [&] {
             fs::remove(engine / "qlmr-terrain");
             fs::remove(engine / "qlmr-sdna");
             fs::remove(engine / "qlmr-diorama");
         },
         "The graphics-card terrain program (qlmr-terrain) is not installed, so this chapter used the exact "
         "reference renderer on the processor. It defines what correct looks like; the real-time path runs on the "
         "graphics card.",
         nullptr},
        {"qlmr-terrain fails, qlmr-gpu missing",
         [&] {
             writeProgram("qlmr-terrain", "echo 'out of memory'\nexit 3\n");
             fs::remove(engine / "qlmr-gpu");
         },
         "The graphics-card terrain run on Fake Card did not succeed (details in report/log.txt), so this chapter "
         "used the exact reference renderer on the processor. It defines what correct looks like; the real-time "
         "path runs on the graphics card.",
         "Drawn by the exact reference renderer on the processor: the graphics-card comparison program (qlmr-gpu) "
         "is not installed."},
        {"qlmr-gpu gives nothing for the chosen card",
         [&] { writeProgram("qlmr-gpu", "echo '[Fake Card] setup failed: vkCreateDevice failed (VkResult -3)'\n"
                                        "exit 1\n"); },
         nullptr,
         "Drawn by the exact reference renderer on the processor: the graphics-card comparison gave no figures for "
         "Fake Card (details in report/log.txt)."},
    };
    for (const Case& c : cases) {
        writeEveryProgram();
        c.setUp();
        const ProcessResult run = runShowcase();
        const std::string html = read(report / "index.html");
        const std::string terrain = html.substr(html.find("<section id=\"terrain\">"));
        const std::string creature = html.substr(html.find("<section id=\"creature\">"));
        if (c.terrainNote) {
            EXPECT_EQ(terrain.find(std::string("<div class=\"note\">") + c.terrainNote + "</div></div></section>"),
                      terrain.find("<div class=\"note\">"))
                << c.name << "\n" << terrain.substr(0, terrain.find("</section>"));
        }
        if (c.creatureNote) {
            EXPECT_NE(creature.find(std::string("<div class=\"note\">") + c.creatureNote + "</div>"),
                      std::string::npos)
                << c.name << "\n" << creature.substr(0, creature.find("</section>"));
        }
        EXPECT_EQ(html.find("no compatible graphics card was found"), std::string::npos) << c.name;
        EXPECT_EQ(html.find("No compatible graphics card was found"), std::string::npos) << c.name;
    }
}

// "Done" is said only of a page that was written.
TEST_F(ShowcaseRun, NoSuccessLineWithoutThePage) {
    writeEveryProgram();
    // A report folder of the launcher's where something it does not remove
    // stands where the page goes.
    std::string error;
    ASSERT_TRUE(createReportFolder(report, error)) << error;
    fs::create_directories(report / "index.html" / "a folder of the user's");

    const test::ProgramRun run = runShowcaseApart(launcherArguments({"--cpu"}), {});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output.find("Done."), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("4/4  A small living world"), std::string::npos); // the chapters did run
    EXPECT_EQ(run.errors, "QLMR Showcase: could not write the report page " + (report / "index.html").string() +
                              "; there is no report to open.\n");
    EXPECT_TRUE(fs::is_directory(report / "index.html" / "a folder of the user's"));
    EXPECT_TRUE(fs::exists(report / "results.json"));
}

// Under a file size limit (ulimit -f) below the page's size the launcher
// does not die half way through the page: it says the page is missing,
// leaves no part of it, still writes what fits and clears its work folder.
TEST_F(ShowcaseRun, APagePastTheFileSizeLimitIsReportedAndLeftOut) {
    writeEveryProgram();
    const test::ProgramRun run =
        test::runWritingAtMost(QLMR_SHOWCASE_PROGRAM, launcherArguments({"--cpu"}), root, 8192);
    EXPECT_EQ(run.exitCode, 1) << run.output << run.errors;
    EXPECT_NE(run.output.find("4/4  A small living world"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Done."), std::string::npos) << run.output;
    EXPECT_EQ(run.errors, "QLMR Showcase: could not write the report page " + (report / "index.html").string() +
                              "; there is no report to open.\n");
    EXPECT_FALSE(fs::exists(report / "index.html"));
    EXPECT_NE(read(report / "results.json").find("\"chapters\""), std::string::npos);
    EXPECT_FALSE(fs::exists(report / "work"));
}

// Runs the launcher with standard output into a pipe whose reader has gone,
// as "qlmr-showcase | head -1" leaves it once head has its line; standard
// error goes to `errors`. The exit code, or 128 + the signal that ended it.
int runIntoAbandonedPipe(const std::vector<std::string>& arguments, const fs::path& directory,
                         const fs::path& errors) {
    int ends[2];
    if (pipe(ends) != 0)
        return -1;
    close(ends[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    std::vector<std::string> words = {QLMR_SHOWCASE_PROGRAM};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    // The test's own SIGPIPE action, the default, passes to the launcher, as
    // from a shell.
    const int started = posix_spawn(&child, QLMR_SHOWCASE_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (started != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// A console that stops reading is lost progress, not a lost report: the
// run goes on as with a closed standard output and writes every file.
TEST_F(ShowcaseRun, AConsolePipeThatClosesEarlyStillGetsTheWholeReport) {
    writeEveryProgram();
    EXPECT_EQ(runIntoAbandonedPipe(launcherArguments(), root, root / "errors.txt"), 0) << read(root / "errors.txt");
    EXPECT_EQ(read(root / "errors.txt"), "");
    EXPECT_NE(read(report / "index.html").find("</html>"), std::string::npos);
    EXPECT_NE(read(report / "results.json").find("\"chapters\""), std::string::npos);
    EXPECT_EQ(logNames(), (std::vector<std::string>{"vkinfo 0", "terrain 0", "sdna 0", "gpu --sdna 1", "pixelart 0",
                                                    "diorama 0"}));
    EXPECT_FALSE(fs::exists(report / "work"));
}

// The console promises that the report opens; when nothing can open it,
// the user is told to do so.
TEST_F(ShowcaseRun, AReportThatCannotBeOpenedSaysSo) {
    writeEveryProgram();
    // A PATH with only what the fake programs use: no xdg-open.
    const fs::path tools = root / "tools";
    fs::create_directories(tools);
    for (const char* tool : {"cp", "ls"})
        fs::create_symlink(fs::path("/bin") / tool, tools / tool);
    test::RunOptions options;
    options.environment["PATH"] = tools.string();
    const test::ProgramRun run = runShowcaseApart(
        {"--engine", engine.string(), "--assets", assets.string(), "--out", report.string()}, options);
    EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
    EXPECT_NE(run.output.find("  Done. The report opens in your browser:\n"), std::string::npos);
    EXPECT_EQ(run.errors, "QLMR Showcase: could not start xdg-open to show the report; open " +
                              (report / "index.html").string() + " in a browser yourself.\n");
}

// A picture the launcher could not write is neither counted nor shown, and
// the console says that the launcher, not the program, fell short.
TEST_F(ShowcaseRun, APictureThatCannotBeWrittenIsNotCountedAndIsNamed) {
    struct Case {
        const char* blocked;  // the report entry that cannot be written
        const char* outcome;  // of the pixels chapter
        const char* okInJson;
    };
    const Case cases[] = {
        {"pixel_back_snapped.jpg", "skipped, see log", "false"}, // 2 of the 3 pictures it needs
        {"sprite_crystal.png", "done", "true"},                  // the sprites are not counted
    };
    writeEveryProgram();
    for (const Case& c : cases) {
        fs::remove_all(report);
        // A report folder of the launcher's where something it does not
        // remove stands where one file goes.
        std::string error;
        ASSERT_TRUE(createReportFolder(report, error)) << error;
        fs::create_directories(report / c.blocked / "a folder of the user's");

        const test::ProgramRun run = runShowcaseApart(launcherArguments(), {});
        EXPECT_TRUE(std::regex_search(run.output,
                                      std::regex(std::string("3/4  Pixel art becomes relief {20}") + c.outcome)))
            << run.output;
        EXPECT_EQ(run.errors, "QLMR Showcase: could not write 1 of the pictures of \"Pixel art becomes relief\" "
                              "into " + report.string() + " (the first is " + c.blocked + "); is the disk full?\n");
        const std::string results = read(report / "results.json");
        EXPECT_NE(results.find(std::string("{\"key\": \"pixels\", \"ok\": ") + c.okInJson), std::string::npos)
            << results;
        EXPECT_EQ(read(report / "index.html").find(c.blocked), std::string::npos) << c.blocked;
        EXPECT_TRUE(fs::is_directory(report / c.blocked / "a folder of the user's"));
    }
}

// A report folder that cannot be made ends the run at once, with the
// reason and what to do, before any program runs.
TEST_F(ShowcaseRun, AReportFolderThatCannotBeMadeEndsTheRunWithItsReason) {
    writeEveryProgram();
    // No folder can be made in /proc, not even by the superuser.
    const fs::path unmakeable = "/proc/qlmr-showcase-report";
    const test::ProgramRun run = runShowcaseApart(
        {"--no-open", "--engine", engine.string(), "--assets", assets.string(), "--out", unmakeable.string()}, {});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "");
    const std::string start =
        "QLMR Showcase: cannot write the report into \"" + unmakeable.string() + "\": cannot create the folder (";
    const std::string end = "); choose another folder with --out.\n";
    EXPECT_EQ(run.errors.rfind(start, 0), 0u) << run.errors;
    ASSERT_GE(run.errors.size(), end.size());
    EXPECT_EQ(run.errors.substr(run.errors.size() - end.size()), end) << run.errors;
    EXPECT_FALSE(recorded("qlmr-vkinfo"));
}

// The children's files are not kept once their chapter has its pictures,
// so that on a nearly full disk they cannot crowd out the later chapters
// and the report files.
TEST_F(ShowcaseRun, EachChapterFindsTheWorkFolderFreeOfEarlierChildrensFiles) {
    writeEveryProgram();
    for (const char* program : {"qlmr-pixelart", "qlmr-diorama"})
        writeProgram(program, std::string("ls -A .. > '") + (records / program).string() + "-saw'\n");

    const ProcessResult run = runShowcase();
    EXPECT_EQ(read(records / "qlmr-pixelart-saw"), "pixels\n") << run.output;
    EXPECT_EQ(read(records / "qlmr-diorama-saw"), "world\n") << run.output;
    EXPECT_FALSE(fs::exists(report / "work"));
}

// A source sprite that could not be copied beside the page is not shown
// there as a broken picture.
TEST_F(ShowcaseRun, OnlySpritesCopiedBesideThePageAreShown) {
    writeEveryProgram();
    // Something that cannot be copied as a file stands where the crystal goes.
    fs::remove(assets / "sprites" / "crystal.png");
    fs::create_directories(assets / "sprites" / "crystal.png");

    const ProcessResult run = runShowcase();
    const std::string html = read(report / "index.html");
    EXPECT_NE(html.find("<img src=\"sprite_barrel.png\" alt=\"\">"), std::string::npos) << html;
    EXPECT_EQ(html.find("sprite_crystal.png"), std::string::npos);
    EXPECT_FALSE(fs::exists(report / "sprite_crystal.png"));
    EXPECT_EQ(read(report / "sprite_barrel.png"), read(assets / "sprites" / "barrel.png"));
}

// A launcher started with its console output or error stream closed keeps
// log.txt for the children's runs: the file it holds open must not take
// the place of the closed stream and collect the banner, the progress lines
// or a failure message.
TEST_F(ShowcaseRun, AClosedConsoleStreamLeavesTheLogToTheChildren) {
    struct Case {
        bool closedOutput;
        bool closedErrors;
    };
    const Case cases[] = {{true, false}, {false, true}, {true, true}};
    writeEveryProgram();
    for (const Case& c : cases) {
        fs::remove_all(report);
        // A picture that cannot be written makes the launcher print a
        // failure line on its error stream while the log is open.
        std::string error;
        ASSERT_TRUE(createReportFolder(report, error)) << error;
        fs::create_directories(report / "pixel_back_snapped.jpg" / "a folder of the user's");

        test::RunOptions options;
        options.closedOutput = c.closedOutput;
        options.closedErrors = c.closedErrors;
        const test::ProgramRun run = runShowcaseApart(launcherArguments(), options);
        EXPECT_EQ(run.exitCode, 1) << c.closedOutput << c.closedErrors;

        const std::string log = read(report / "log.txt");
        EXPECT_EQ(log.rfind("==== vkinfo (exit 0, ", 0), 0u) << log;
        for (const char* console : {"Quillmere Showcase", "1/4", "QLMR Showcase:", "done ("})
            EXPECT_EQ(log.find(console), std::string::npos) << console << "\n" << log;
        EXPECT_EQ(logNames(), (std::vector<std::string>{"vkinfo 0", "terrain 0", "sdna 0", "gpu --sdna 1",
                                                        "pixelart 0", "diorama 0"}));
        if (!c.closedOutput)
            EXPECT_NE(run.output.find("  1/4  Real terrain, without triangles"), std::string::npos) << run.output;
        if (!c.closedErrors)
            EXPECT_NE(run.errors.find("QLMR Showcase: could not write 1 of the pictures"), std::string::npos)
                << run.errors;
    }
}

} // namespace
} // namespace qlmr
