#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "report_folder.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

namespace fs = std::filesystem;

class ReportFolder : public ::testing::Test {
protected:
    void write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    void mark(const fs::path& folder) { write(folder / kReportMarkerName, reportMarkerText()); }
    std::string read(const fs::path& path) const {
        const std::vector<std::uint8_t> bytes = test::readFile(path.string());
        return std::string(bytes.begin(), bytes.end());
    }

    test::TempDir dir;
    const fs::path root = dir.path();
};

TEST_F(ReportFolder, OnlyNewEmptyOrMarkedFoldersOutsideWhatMattersAreAccepted) {
    const fs::path launcher = root / "launcher";
    const fs::path assets = launcher / "assets";
    const fs::path home = root / "home";
    const fs::path current = root / "current";
    for (const fs::path& folder : {assets, home, current})
        fs::create_directories(folder);
    const ProtectedFolders guarded = {{current, "the current folder"},
                                      {home, "the home folder"},
                                      {launcher, "the launcher's own folder"},
                                      {assets, "the assets folder"},
                                      {fs::path(), "nothing"}};

    write(root / "user" / "notes.txt", "mine");
    write(root / "file.txt", "mine");
    fs::create_directories(root / "empty");
    mark(root / "ours");
    write(root / "ours" / "index.html", "old page");
    write(root / "fake" / kReportMarkerName, "something else\n"); // not our marker
    fs::create_directories(root / "linked");
    fs::create_symlink(root / "elsewhere", root / "linked" / kReportMarkerName); // a link is no marker
    fs::create_directory_symlink(root / "user", root / "link to user");
    fs::create_directory_symlink(root / "ours", root / "link to ours");
    fs::create_symlink(root / "nowhere", root / "dangling");
    mark(home);
    mark(launcher);

    struct Case {
        fs::path folder;
        std::string refusal; // empty: accepted
    };
    const Case cases[] = {
        {root / "new" / "report", ""},
        {root / "empty", ""},
        {root / "ours", ""},
        {root / "link to ours", ""},
        {root / "ours" / ".", ""},
        {root / "user", "it holds files and is not a report folder of this launcher (it has no "
                        ".qlmr-showcase-report file)"},
        {root / "link to user", "it holds files and is not a report folder of this launcher (it has no "
                                ".qlmr-showcase-report file)"},
        {root / "fake", "it holds files and is not a report folder of this launcher (it has no "
                        ".qlmr-showcase-report file)"},
        {root / "linked", "it holds files and is not a report folder of this launcher (it has no "
                          ".qlmr-showcase-report file)"},
        {root / "file.txt", "it is a file, not a folder"},
        {root / "dangling", "it is a symbolic link to something that does not exist"},
        {"/", "it is the root folder"},
        {root / "current" / "..", "it holds the current folder"},
        {current, "it is the current folder"},
        {current / ".", "it is the current folder"},
        {home, "it is the home folder"}, // even with a marker
        {launcher, "it is the launcher's own folder"},
        {assets / "..", "it is the launcher's own folder"},
        {assets, "it is the assets folder"},
        {root, "it holds the current folder"},
        // Only when the current folder could not be found (it was deleted)
        // does a path stay relative; what it means is then unknown.
        {"report", "it is a relative path and the current folder cannot be found"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(reportFolderRefusal(c.folder, guarded), c.refusal) << c.folder;

    // Nothing was changed by looking.
    EXPECT_EQ(read(root / "user" / "notes.txt"), "mine");
    EXPECT_EQ(read(root / "ours" / "index.html"), "old page");
}

TEST_F(ReportFolder, ReportEntryNamesAreExactlyTheOnesTheLauncherWrites) {
    for (const char* name :
         {"index.html", "results.json", "log.txt", "work", ".qlmr-showcase-report", "sprite_crystal.png",
          "sprite_barrel.png", "terrain_0.jpg", "terrain_12.jpg", "terrain_wide.jpg", "terrain_aerial.jpg",
          "terrain_close.jpg", "creature_turn_000.jpg", "creature_turn_035.jpg", "creature_posed.jpg",
          "creature_back.jpg", "pixel_wide_snapped.jpg", "pixel_close_snapped.jpg", "pixel_back_snapped.jpg",
          "world_frame_0000.jpg", "world_frame_0148.jpg"})
        EXPECT_TRUE(isReportEntryName(name)) << name;
    for (const char* name :
         {"index.htm", "index.html.bak", "notes.txt", "terrain_.jpg", "terrain_x.jpg", "terrain_1.png",
          "terrain_holiday.jpg", "creature_turn_1.jpg", "creature_turn_0000.jpg", "world_frame_12.jpg",
          "world_frame_00a0.jpg", "sprite_other.png", "pixel_wide.jpg", "Work", "report", ""})
        EXPECT_FALSE(isReportEntryName(name)) << name;
}

TEST_F(ReportFolder, ClearingRemovesOnlyReportEntriesAndNeverFollowsALink) {
    const fs::path report = root / "report";
    const fs::path outside = root / "outside";
    mark(report);
    for (const char* name : {"index.html", "results.json", "log.txt", "terrain_0.jpg", "world_frame_0148.jpg",
                             "sprite_crystal.png"})
        write(report / name, "old");
    write(report / "work" / "terrain" / "wide.png", "child file");
    write(report / "notes.txt", "mine");              // the user's: stays
    write(report / "terrain_holiday.jpg", "mine");    // looks close, is not ours: stays
    fs::create_directories(report / "results.json.d");
    write(report / "pictures" / "terrain_0.jpg", "mine"); // inside a folder of the user's: stays
    fs::create_directories(report / "creature_posed.jpg"); // a folder with a report file's name: stays
    write(report / "creature_posed.jpg" / "inside.txt", "mine");

    // Links with report names, pointing out of the folder: the links go,
    // what they point at stays.
    write(outside / "page.html", "outside page");
    write(outside / "work" / "precious.txt", "outside work");
    write(outside / "linked work" / "precious.txt", "linked from inside work");
    fs::create_symlink(outside / "page.html", report / "creature_back.jpg");
    fs::create_symlink(outside / "missing", report / "pixel_back_snapped.jpg"); // dangling
    fs::create_directory_symlink(outside / "linked work", report / "work" / "terrain" / "link");

    clearEarlierReport(report);

    for (const char* name : {"index.html", "results.json", "log.txt", "terrain_0.jpg", "world_frame_0148.jpg",
                             "sprite_crystal.png", "work", "creature_back.jpg", "pixel_back_snapped.jpg"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(report / name))) << name;
    EXPECT_EQ(read(report / kReportMarkerName), reportMarkerText());
    EXPECT_EQ(read(report / "notes.txt"), "mine");
    EXPECT_EQ(read(report / "terrain_holiday.jpg"), "mine");
    EXPECT_TRUE(fs::is_directory(report / "results.json.d"));
    EXPECT_EQ(read(report / "pictures" / "terrain_0.jpg"), "mine");
    EXPECT_EQ(read(report / "creature_posed.jpg" / "inside.txt"), "mine");
    EXPECT_EQ(read(outside / "page.html"), "outside page");
    EXPECT_EQ(read(outside / "work" / "precious.txt"), "outside work");
    EXPECT_EQ(read(outside / "linked work" / "precious.txt"), "linked from inside work");

    // A work entry that is itself a link: the link goes, its target stays.
    fs::create_directory_symlink(outside / "work", report / "work");
    clearEarlierReport(report);
    EXPECT_FALSE(fs::exists(fs::symlink_status(report / "work")));
    EXPECT_EQ(read(outside / "work" / "precious.txt"), "outside work");
}

TEST_F(ReportFolder, CreatingWritesTheMarkerOrSaysWhyNot) {
    std::string error;
    const fs::path report = root / "a" / "b" / "report";
    ASSERT_TRUE(createReportFolder(report, error)) << error;
    EXPECT_EQ(read(report / kReportMarkerName), reportMarkerText());
    EXPECT_EQ(reportFolderRefusal(report, {}), "");

    write(root / "plain", "file");
    EXPECT_FALSE(createReportFolder(root / "plain" / "report", error));
    EXPECT_NE(error.find("cannot create the folder"), std::string::npos) << error;
    EXPECT_EQ(read(root / "plain"), "file");

    // A folder where the marker cannot be written: the reason is named.
    fs::create_directories(root / "blocked" / kReportMarkerName);
    EXPECT_FALSE(createReportFolder(root / "blocked", error));
    EXPECT_EQ(error, std::string("cannot write its ") + kReportMarkerName + " file (" +
                         std::generic_category().message(EISDIR) + ")");
}

} // namespace
} // namespace qlmr
