#pragma once

#include <filesystem>
#include <string>

#include "machine_probe.h"

namespace qlmr {

// The machine as the running process sees it (the Linux side of the launcher).

CpuidRegisters readCpuid(std::uint32_t leaf, std::uint32_t subleaf);
std::uint64_t readExtendedControlRegister0(); // xgetbv(0); only valid with OSXSAVE

std::string cpuBrand();
bool hasAvx2();
// Distribution name from /etc/os-release and the kernel release.
std::string osVersion();
// The hardware thread count, at least 1.
unsigned hardwareThreadCount();
// The directory of the running program (from /proc/self/exe).
std::filesystem::path executableDirectory();

} // namespace qlmr
