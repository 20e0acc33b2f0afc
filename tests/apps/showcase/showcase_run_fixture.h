#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include "platform_process.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace qlmr {

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

    // The launcher's arguments for this fixture's folders, then extra.
    std::vector<std::string> launcherArguments(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> arguments = {"--no-open", "--engine", engine.string(), "--assets", assets.string(),
                                              "--out",     report.string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }
    ProcessResult runShowcase(const std::vector<std::string>& extra = {}) {
        return runProcess(QLMR_SHOWCASE_PROGRAM, launcherArguments(extra), root);
    }
    // Standard output and standard error apart, in a chosen folder and
    // environment, from a chosen copy of the launcher.
    test::ProgramRun runShowcaseApart(const std::vector<std::string>& arguments, const test::RunOptions& options,
                                      const fs::path& launcher = QLMR_SHOWCASE_PROGRAM) {
        test::RunOptions apart = options;
        apart.separateErrors = true;
        if (apart.workingDirectory.empty())
            apart.workingDirectory = root;
        return test::runProgram(launcher.string(), arguments, apart);
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


} // namespace qlmr
