#include <gtest/gtest.h>

#include <fstream>

#include "launcher_options.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

namespace fs = std::filesystem;

TEST(LauncherOptions, FlagsAndDirectoriesMadeAbsolute) {
    const ParsedLauncherOptions parsed = parseLauncherOptions(
        {"--cpu", "--no-open", "--engine", "eng", "--assets", "/abs/assets", "--out", "../rep"}, "/work/here");
    EXPECT_FALSE(parsed.showUsage);
    EXPECT_TRUE(parsed.options.cpuOnly);
    EXPECT_FALSE(parsed.options.openReport);
    EXPECT_EQ(parsed.options.engineDirectory, fs::path("/work/here/eng"));
    EXPECT_EQ(parsed.options.assetsDirectory, fs::path("/abs/assets"));
    EXPECT_EQ(parsed.options.reportDirectory, fs::path("/work/here/../rep"));
}

TEST(LauncherOptions, DefaultsAndOverrides) {
    ParsedLauncherOptions parsed = parseLauncherOptions({}, "/w");
    EXPECT_FALSE(parsed.options.cpuOnly);
    EXPECT_TRUE(parsed.options.openReport);
    EXPECT_TRUE(parsed.options.engineDirectory.empty());

    parsed = parseLauncherOptions({"--out", "a", "--out", "b"}, "/w");
    EXPECT_EQ(parsed.options.reportDirectory, fs::path("/w/b"));

    // A directory option as the last word leaves it empty, even over an earlier value.
    parsed = parseLauncherOptions({"--engine", "x", "--engine"}, "/w");
    EXPECT_FALSE(parsed.showUsage);
    EXPECT_TRUE(parsed.options.engineDirectory.empty());
}

TEST(LauncherOptions, AnyOtherWordAsksForTheUsageLine) {
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"--help"}, {"--cpu", "extra"}, {"-cpu"}, {"--out", "x", "--CPU"}, {""}}) {
        EXPECT_TRUE(parseLauncherOptions(words, "/w").showUsage) << words.back();
    }
    // The value of a directory option is taken as it is, even when it looks like an option.
    EXPECT_FALSE(parseLauncherOptions({"--out", "--help"}, "/w").showUsage);
    EXPECT_EQ(std::string(kLauncherUsage),
              "usage: \"QLMR Showcase\" [--cpu] [--no-open] [--engine DIR] [--assets DIR] [--out DIR]\n");
}

TEST(LauncherOptions, EngineFolderCountsOnlyWithTheSdnaProgram) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "engine-avx2");
    fs::create_directories(dir.path() / "engine-sse2");
    std::ofstream(dir.path() / "engine-avx2" / "qlmr-demo") << "x";
    EXPECT_EQ(defaultEngineDirectory(dir.path(), true), dir.path());
    std::ofstream(dir.path() / "engine-avx2" / "qlmr-sdna") << "x";
    EXPECT_EQ(defaultEngineDirectory(dir.path(), true), dir.path() / "engine-avx2");
    EXPECT_EQ(defaultEngineDirectory(dir.path(), false), dir.path());
    std::ofstream(dir.path() / "engine-sse2" / "qlmr-sdna") << "x";
    EXPECT_EQ(defaultEngineDirectory(dir.path(), false), dir.path() / "engine-sse2");
}

} // namespace
} // namespace qlmr
