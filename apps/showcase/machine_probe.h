#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qlmr {

// What the launcher works out about the machine, from raw processor
// answers and from qlmr-vkinfo's device lines. The raw answers come from
// platform_machine.h; here they are only interpreted, so every rule can be
// tried with made-up values.

struct CpuidRegisters {
    std::uint32_t eax = 0;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = 0;
    std::uint32_t edx = 0;
};

using CpuidQuery = std::function<CpuidRegisters(std::uint32_t leaf, std::uint32_t subleaf)>;
using ExtendedStateQuery = std::function<std::uint64_t()>;

// The 48-byte brand of extended leaves 0x80000002..4 without leading blanks
// (trailing blanks stay); "unknown CPU" when the processor has no such leaves.
std::string cpuBrandFrom(const CpuidQuery& cpuid);

// AVX2 with FMA usable: leaf 0 reaches 7, leaf 1 has FMA and OSXSAVE, leaf 7
// has AVX2, and the operating system saves the SSE and AVX state. The
// extended-state register is read only once OSXSAVE is known to be set.
bool avx2UsableFrom(const CpuidQuery& cpuid, const ExtendedStateQuery& readXcr0);

// The PRETTY_NAME value of an os-release text, quotes removed; empty when absent.
std::string prettyNameFromOsRelease(std::string_view osRelease);

// The operating-system entry: the distribution's name, or "Linux", followed
// by " (kernel " + release + ")" when the kernel release is known.
std::string osDescription(const std::string& prettyName, const std::string& kernelRelease);

// One usable device line of qlmr-vkinfo.
struct DetectedGpu {
    std::int32_t index = -1;
    std::string name;
    std::string version;   // "Vulkan 1.3.250" or empty
    bool discrete = false;
};

// Every line of the form "GPU <n>: <name> (<class>), Vulkan a.b.c, ...,
// compute yes" whose smoke test did not fail (no "  device: ", "  compute: "
// or MISMATCH line below it). The name is the whole device name, up to the
// class group, so it equals the "== <name>" section line of qlmr-gpu.
std::vector<DetectedGpu> readDeviceLines(const std::vector<std::string>& lines);

// The first discrete device, else the first device, else none.
std::optional<DetectedGpu> chooseGpu(const std::vector<DetectedGpu>& devices);

} // namespace qlmr
