#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "machine_probe.h"
#include "platform_machine.h"

namespace qlmr {
namespace {

// A made-up processor: leaves as a table; unknown leaves answer zeros.
struct FakeProcessor {
    std::map<std::uint32_t, CpuidRegisters> leaves;
    std::uint64_t xcr0 = 0;
    bool xcr0Read = false;

    CpuidQuery cpuid() const {
        return [this](std::uint32_t leaf, std::uint32_t) {
            const auto found = leaves.find(leaf);
            return found == leaves.end() ? CpuidRegisters{} : found->second;
        };
    }
    ExtendedStateQuery extendedState() {
        return [this] {
            xcr0Read = true;
            return xcr0;
        };
    }

    void setBrand(const std::string& text) {
        char bytes[48] = {};
        std::memcpy(bytes, text.data(), std::min<std::size_t>(text.size(), 48));
        leaves[0x80000000u].eax = 0x80000004u;
        for (std::uint32_t i = 0; i < 3; ++i) {
            std::uint32_t words[4];
            std::memcpy(words, bytes + 16 * i, 16);
            leaves[0x80000002u + i] = {words[0], words[1], words[2], words[3]};
        }
    }
};

TEST(MachineProbe, BrandDropsLeadingBlanksAndKeepsTrailingOnes) {
    FakeProcessor processor;
    processor.setBrand("   Intel(R) Core(TM) i7-9700K CPU @ 3.60GHz  ");
    EXPECT_EQ(cpuBrandFrom(processor.cpuid()), "Intel(R) Core(TM) i7-9700K CPU @ 3.60GHz  ");

    // All 48 bytes used, no zero byte inside: the text is exactly 48 long.
    const std::string full(48, 'x');
    processor.setBrand(full);
    EXPECT_EQ(cpuBrandFrom(processor.cpuid()), full);

    processor.leaves[0x80000000u].eax = 0x80000003u;
    EXPECT_EQ(cpuBrandFrom(processor.cpuid()), "unknown CPU");
}

TEST(MachineProbe, Avx2NeedsEveryCpuBitAndTheOperatingSystemsState) {
    constexpr std::uint32_t kFma = 1u << 12, kOsxsave = 1u << 27, kAvx2 = 1u << 5;
    struct Case {
        const char* name;
        std::uint32_t highestLeaf, leaf1Ecx, leaf7Ebx;
        std::uint64_t xcr0;
        bool usable;
        bool readsXcr0;
    };
    const Case cases[] = {
        {"everything present", 7, kFma | kOsxsave, kAvx2, 0x7, true, true},
        {"sse and avx state exactly", 0xd, kFma | kOsxsave, kAvx2, 0x6, true, true},
        {"os saves no avx state", 7, kFma | kOsxsave, kAvx2, 0x3, false, true},
        {"os saves no sse state", 7, kFma | kOsxsave, kAvx2, 0x5, false, true},
        {"no leaf 7", 6, kFma | kOsxsave, kAvx2, 0x7, false, false},
        {"no fma", 7, kOsxsave, kAvx2, 0x7, false, false},
        {"no osxsave: xgetbv would fault", 7, kFma, kAvx2, 0x7, false, false},
        {"no avx2 bit", 7, kFma | kOsxsave, 0, 0x7, false, false},
    };
    for (const Case& c : cases) {
        FakeProcessor processor;
        processor.leaves[0].eax = c.highestLeaf;
        processor.leaves[1].ecx = c.leaf1Ecx;
        processor.leaves[7].ebx = c.leaf7Ebx;
        processor.xcr0 = c.xcr0;
        EXPECT_EQ(avx2UsableFrom(processor.cpuid(), processor.extendedState()), c.usable) << c.name;
        EXPECT_EQ(processor.xcr0Read, c.readsXcr0) << c.name;
    }
}

TEST(MachineProbe, OsReleasePrettyName) {
    EXPECT_EQ(prettyNameFromOsRelease("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                                      "VERSION_ID=\"12\"\n"),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(prettyNameFromOsRelease("PRETTY_NAME='Arch Linux'\r\n"), "Arch Linux");
    EXPECT_EQ(prettyNameFromOsRelease("PRETTY_NAME=Plain"), "Plain");
    EXPECT_EQ(prettyNameFromOsRelease("NAME=x\nXPRETTY_NAME=\"no\"\n"), "");
    EXPECT_EQ(osDescription("Debian GNU/Linux 12 (bookworm)", "6.1.0-18-amd64"),
              "Debian GNU/Linux 12 (bookworm) (kernel 6.1.0-18-amd64)");
    EXPECT_EQ(osDescription("", ""), "Linux");
    EXPECT_EQ(osDescription("", "6.1"), "Linux (kernel 6.1)");
}

// The real probes on this machine: only what must hold everywhere.
TEST(MachineProbe, ThisMachineAnswersSensibly) {
    EXPECT_FALSE(cpuBrand().empty());
    EXPECT_GE(hardwareThreadCount(), 1u);
    EXPECT_FALSE(osVersion().empty());
    EXPECT_TRUE(std::filesystem::is_directory(executableDirectory()));
#if defined(__AVX2__) && defined(__FMA__)
    EXPECT_TRUE(hasAvx2()); // a build that needs AVX2 runs only where it is usable
#endif
}

} // namespace
} // namespace qlmr
