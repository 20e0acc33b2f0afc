#include "machine_probe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qlmr {

std::string cpuBrandFrom(const CpuidQuery& cpuid) {
    const CpuidRegisters top = cpuid(0x80000000u, 0);
    if (top.eax < 0x80000004u)
        return "unknown CPU";
    char brand[49] = {};
    for (std::uint32_t i = 0; i < 3; ++i) {
        const CpuidRegisters r = cpuid(0x80000002u + i, 0);
        const std::uint32_t words[4] = {r.eax, r.ebx, r.ecx, r.edx};
        std::memcpy(brand + 16 * i, words, 16);
    }
    std::string text(brand); // ends at the first zero byte
    const std::size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

bool avx2UsableFrom(const CpuidQuery& cpuid, const ExtendedStateQuery& readXcr0) {
    if (cpuid(0, 0).eax < 7)
        return false;
    const std::uint32_t leaf1Ecx = cpuid(1, 0).ecx;
    const std::uint32_t fma = 1u << 12;
    const std::uint32_t osxsave = 1u << 27;
    if ((leaf1Ecx & fma) == 0 || (leaf1Ecx & osxsave) == 0)
        return false;
    if ((cpuid(7, 0).ebx & (1u << 5)) == 0)
        return false;
    const std::uint64_t sseAndAvxState = 0x6;
    return (readXcr0() & sseAndAvxState) == sseAndAvxState;
}

std::string prettyNameFromOsRelease(std::string_view text) {
    const std::string_view key = "PRETTY_NAME=";
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (line.substr(0, key.size()) == key) {
            std::string_view value = line.substr(key.size());
            while (!value.empty() && (value.back() == '\r' || value.back() == ' '))
                value.remove_suffix(1);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return std::string(value);
        }
        start = end + 1;
    }
    return {};
}

std::string osDescription(const std::string& prettyName, const std::string& kernelRelease) {
    std::string text = prettyName.empty() ? "Linux" : prettyName;
    if (!kernelRelease.empty())
        text += " (kernel " + kernelRelease + ")";
    return text;
}

namespace {

// qlmr-vkinfo's device line is "GPU <n>: <name> (<class>), Vulkan ...", and
// a name may hold " (" itself (lavapipe is "llvmpipe (LLVM 15.0.6, 256
// bits)"). The class group is the last " (<class word>)" of the line, since
// nothing after it can hold one; the name ends there. The position of that
// group, or npos when the line has none.
std::size_t classGroupAt(const std::string& line, std::size_t nameStart, std::string* word) {
    std::size_t best = std::string::npos;
    for (const char* candidate : {"integrated", "discrete", "virtual", "cpu", "other"}) {
        const std::string group = std::string(" (") + candidate + ")";
        const std::size_t at = line.rfind(group);
        if (at == std::string::npos || at < nameStart)
            continue;
        if (best == std::string::npos || at > best) {
            best = at;
            *word = candidate;
        }
    }
    return best;
}

// The lines qlmr-vkinfo writes under a device when it could not be opened,
// its compute run failed or its results were wrong.
bool isSmokeFailureLine(const std::string& line) {
    return line.rfind("  device: ", 0) == 0 || line.rfind("  compute: ", 0) == 0 ||
           (line.rfind("  smoke ", 0) == 0 && line.find(": MISMATCH") != std::string::npos);
}

} // namespace

std::vector<DetectedGpu> readDeviceLines(const std::vector<std::string>& lines) {
    std::vector<DetectedGpu> devices;
    std::vector<bool> failed;
    bool inUsableDevice = false; // the lines below belong to the last record
    for (const std::string& line : lines) {
        int index = -1;
        if (std::sscanf(line.c_str(), "GPU %d:", &index) != 1) {
            if (inUsableDevice && isSmokeFailureLine(line))
                failed.back() = true;
            continue;
        }
        inUsableDevice = line.find("compute yes") != std::string::npos;
        if (!inUsableDevice)
            continue;
        DetectedGpu gpu;
        gpu.index = index;
        const std::size_t colon = line.find(':');
        const std::size_t nameStart = std::min(colon + 2, line.size());
        std::string classWord;
        const std::size_t group = classGroupAt(line, nameStart, &classWord);
        const std::size_t open = group != std::string::npos ? group : line.find(" (");
        gpu.name = open == std::string::npos || open < nameStart ? line.substr(nameStart)
                                                                  : line.substr(nameStart, open - nameStart);
        const std::size_t vulkan = line.find(", Vulkan ");
        if (vulkan != std::string::npos) {
            unsigned major = 0, minor = 0, patch = 0;
            if (std::sscanf(line.c_str() + vulkan + 9, "%u.%u.%u", &major, &minor, &patch) == 3)
                gpu.version = "Vulkan " + std::to_string(major) + "." + std::to_string(minor) + "." +
                              std::to_string(patch);
        }
        gpu.discrete = group != std::string::npos ? classWord == "discrete"
                                                   : line.find("(discrete)") != std::string::npos;
        devices.push_back(std::move(gpu));
        failed.push_back(false);
    }
    std::vector<DetectedGpu> usable;
    for (std::size_t i = 0; i < devices.size(); ++i)
        if (!failed[i])
            usable.push_back(std::move(devices[i]));
    return usable;
}

std::optional<DetectedGpu> chooseGpu(const std::vector<DetectedGpu>& devices) {
    std::optional<DetectedGpu> chosen;
    for (const DetectedGpu& gpu : devices) {
        if (!chosen || (gpu.discrete && !chosen->discrete))
            chosen = gpu;
    }
    return chosen;
}

} // namespace qlmr
