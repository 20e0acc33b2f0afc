#include "sdna/bricks.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <new>
#include <system_error>
#include <thread>

#include "sdna/evaluator.h"
#include "sdna/validator.h"

namespace qlmr {

namespace {

constexpr std::uint64_t kInstructionBytes = 48;
constexpr std::uint64_t kMaterialBytes = 16;
constexpr std::uint64_t kPoseBytes = 32;
constexpr std::uint64_t kGridEntryBytes = 8;
constexpr std::uint64_t kBrickBytes = 1032;
constexpr std::uint64_t kFixedBytes = 216;

constexpr std::uint32_t kMaxBuildThreads = 64;

constexpr std::uint16_t kHalfMax = 0x7BFF;          // 65504
constexpr std::uint16_t kHalfMinusInfinity = 0xFC00;

bool finite(float v) { return std::isfinite(v); }

float roundDownToFloat(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}

float roundUpToFloat(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// A vector copy whose capacity is exactly its size, so memoryBytes counts
// what the build actually holds.
template <typename T>
std::vector<T> exactCopy(const std::vector<T>& from) {
    std::vector<T> to;
    to.reserve(from.size());
    to.assign(from.begin(), from.end());
    return to;
}

// Largest factor by which any frame of the program stretches distances:
// each frame multiplies its parent's factor by the stretch of its rotation
// (a quaternion off unit length scales by |q|^2) and by s * (1/s), which is
// 1 up to rounding. Infinity when a frame's scale has no finite inverse.
double programLipschitz(const SdnaProgram& program, const std::vector<BonePose>& pose) {
    std::array<double, kSdnaMaxFrames + 2> factors{};
    int depth = 0;
    factors[0] = 1.0;
    double largest = 0.0;
    const BonePose identity{};
    auto pushFrame = [&](const std::array<float, 4>& q, float s) {
        const double q2 = static_cast<double>(q[0]) * q[0] + static_cast<double>(q[1]) * q[1] +
                          static_cast<double>(q[2]) * q[2] + static_cast<double>(q[3]) * q[3];
        const double inverse = 1.0 / static_cast<double>(s);
        if (!std::isfinite(inverse)) return false;
        const double factor = factors[depth] * (std::fabs(1.0 - q2) + q2) * s * inverse;
        if (depth + 1 < static_cast<int>(factors.size())) factors[++depth] = factor;
        return true;
    };
    for (const SdnaInstruction& ins : program.instructions) {
        switch (ins.op) {
        case SdnaOp::PushTransform:
            if (!pushFrame({ins.p[0], ins.p[1], ins.p[2], ins.p[3]}, ins.p[7])) {
                return std::numeric_limits<double>::infinity();
            }
            break;
        case SdnaOp::PushBone: {
            const BonePose& bone = ins.bone < pose.size() ? pose[ins.bone] : identity;
            if (!pushFrame(bone.rotation, bone.scale)) return std::numeric_limits<double>::infinity();
            break;
        }
        case SdnaOp::Pop:
            if (depth > 0) --depth;
            break;
        case SdnaOp::Plane: {
            const double n = std::sqrt(static_cast<double>(ins.p[0]) * ins.p[0] +
                                       static_cast<double>(ins.p[1]) * ins.p[1] +
                                       static_cast<double>(ins.p[2]) * ins.p[2]);
            largest = std::max(largest, factors[depth] * n);
            break;
        }
        case SdnaOp::Sphere:
        case SdnaOp::Capsule:
        case SdnaOp::TaperedCapsule:
        case SdnaOp::Ellipsoid:
        case SdnaOp::Box:
            largest = std::max(largest, factors[depth]);
            break;
        default:
            break;
        }
    }
    return std::max(1.0, largest) * 1.0000008;
}

// What sampling one block produced, before the brick list decides where
// (and whether) it is kept.
struct BlockSamples {
    BrickRecord record;
    bool allFinite = true;
    float lowestStored = std::numeric_limits<float>::infinity();
    double lowestShifted = std::numeric_limits<double>::infinity();
};

struct BlockSampler {
    const SdnaProgram* program = nullptr;
    const BonePose* pose = nullptr;
    std::uint64_t poseCount = 0;
    std::array<double, 3> origin{};  // boundsMin
    double cell = 0.0;
    double shift = 0.0;      // L*band + tolerance: samples become lower bounds
    double maskLimit = 0.0;  // 2*L*band + tolerance: the surface band
    std::array<std::uint32_t, 3> gridSize{};

    void sample(std::uint64_t block, BlockSamples& out) const {
        const std::uint64_t bx = block % gridSize[0];
        const std::uint64_t by = (block / gridSize[0]) % gridSize[1];
        const std::uint64_t bz = block / (static_cast<std::uint64_t>(gridSize[0]) * gridSize[1]);
        out.record.mask = 0;
        out.allFinite = true;
        out.lowestStored = std::numeric_limits<float>::infinity();
        out.lowestShifted = std::numeric_limits<double>::infinity();
        for (int z = 0; z < kBrickCells; ++z) {
            const double pz = origin[2] + (8.0 * static_cast<double>(bz) + z + 0.5) * cell;
            for (int y = 0; y < kBrickCells; ++y) {
                const double py = origin[1] + (8.0 * static_cast<double>(by) + y + 0.5) * cell;
                for (int x = 0; x < kBrickCells; ++x) {
                    const double px = origin[0] + (8.0 * static_cast<double>(bx) + x + 0.5) * cell;
                    const double d =
                        evaluateProgramDouble(*program, {px, py, pz}, pose, poseCount, nullptr).distance;
                    const int index = x + kBrickCells * (y + kBrickCells * z);
                    if (!std::isfinite(d)) {
                        out.allFinite = false;
                        out.record.samples[index] = kHalfMinusInfinity;
                        continue;
                    }
                    const double shifted = d - shift;
                    const std::uint16_t bits = halfRoundedDown(shifted);
                    out.record.samples[index] = bits;
                    out.lowestStored = std::min(out.lowestStored, halfBitsToFloat(bits));
                    out.lowestShifted = std::min(out.lowestShifted, shifted);
                    if (d <= maskLimit) out.record.mask |= 1ull << ((x / 2) + 4 * ((y / 2) + 4 * (z / 2)));
                }
            }
        }
    }
};

// Samples blocks [first, first + count) into out[0 .. count) on `threads`
// threads (the calling one included) that claim blocks from a shared counter.
void sampleBlocks(const BlockSampler& sampler, std::uint64_t first, std::size_t count,
                  std::uint32_t threads, std::vector<BlockSamples>& out) {
    if (threads <= 1 || count < 2) {
        for (std::size_t i = 0; i < count; ++i) sampler.sample(first + i, out[i]);
        return;
    }
    const std::uint32_t used = static_cast<std::uint32_t>(std::min<std::size_t>(threads, count));
    std::vector<std::thread> workers;
    workers.reserve(used - 1);
    std::atomic<std::size_t> next{0};
    auto body = [&] {
        for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            sampler.sample(first + i, out[i]);
        }
    };
    for (std::uint32_t w = 1; w < used; ++w) {
        // Without the memory for another thread's stack the threads already
        // running (and this one) claim the remaining blocks; the cache does
        // not depend on how many threads sample it.
        try {
            workers.emplace_back(body);
        } catch (const std::system_error&) {
            break;
        }
    }
    body();
    for (std::thread& t : workers) t.join();
}

bool buildInto(const SdnaProgram& program, const std::vector<BonePose>& pose,
               const BrickBuildParams& params, Bricks& built) {
    const auto start = std::chrono::steady_clock::now();
    built.program.instructions = exactCopy(program.instructions);
    built.program.materials = exactCopy(program.materials);
    built.program.boneCount = program.boneCount;
    built.program.flags = program.flags;
    built.program.boundsMin = program.boundsMin;
    built.program.boundsMax = program.boundsMax;
    built.pose = exactCopy(pose);
    built.cellSize = params.cellSize;

    const double lipschitz = programLipschitz(program, pose);
    built.lipschitz = std::isfinite(lipschitz) ? roundUpToFloat(lipschitz)
                                               : std::numeric_limits<float>::infinity();

    // Grid dimensions, in double so that huge boxes are seen as such.
    const double blockEdge = 8.0 * static_cast<double>(params.cellSize);
    std::array<std::uint32_t, 3> size{};
    bool fits = true;
    for (int a = 0; a < 3; ++a) {
        const double extent = static_cast<double>(program.boundsMax[a]) - program.boundsMin[a];
        const double blocks = std::max(1.0, std::ceil(extent / blockEdge));
        if (!(blocks <= 2147483647.0)) {
            fits = false;
            break;
        }
        size[a] = static_cast<std::uint32_t>(blocks);
    }
    const std::uint64_t base = built.memoryBytes();
    const std::uint64_t left = params.byteBudget - base;  // check 4 guarantees no wrap
    std::uint64_t blockCount = 0;
    if (fits) {
        blockCount = static_cast<std::uint64_t>(size[0]) * size[1];
        if (blockCount > left / kGridEntryBytes / size[2]) {
            fits = false;
        } else {
            blockCount *= size[2];
        }
    }
    // The grid is kept only when it and at least one brick fit and steps
    // through it can be made safe; otherwise every ray is traced exactly.
    if (!fits || !std::isfinite(built.lipschitz) || blockCount * kGridEntryBytes + kBrickBytes > left) {
        built.stats.gridGivenUp = true;
    } else {
        // A count the vector cannot even express is an allocation failure too.
        if (blockCount > built.grid.max_size()) throw std::bad_alloc();
        built.gridSize = size;
        built.grid.reserve(static_cast<std::size_t>(blockCount));
        built.grid.assign(blockCount, BrickGridEntry{});

        double largestBound = 0.0;
        for (int a = 0; a < 3; ++a) {
            largestBound = std::max({largestBound, std::fabs(static_cast<double>(program.boundsMin[a])),
                                     std::fabs(static_cast<double>(program.boundsMax[a]))});
        }
        const double band = std::sqrt(3.0) * static_cast<double>(params.cellSize) / 2.0;
        const double tolerance = (1.0 + largestBound) * 0x1p-18;
        BlockSampler sampler;
        sampler.program = &built.program;
        sampler.pose = built.pose.empty() ? nullptr : built.pose.data();
        sampler.poseCount = built.pose.size();
        sampler.origin = {program.boundsMin[0], program.boundsMin[1], program.boundsMin[2]};
        sampler.cell = params.cellSize;
        sampler.shift = static_cast<double>(built.lipschitz) * band + tolerance;
        sampler.maskLimit = 2.0 * static_cast<double>(built.lipschitz) * band + tolerance;
        sampler.gridSize = size;

        // Every visited block costs 512 evaluations, so the visited blocks
        // are the first limit/512 in grid order whatever the thread count.
        const std::uint64_t visited =
            std::min<std::uint64_t>(blockCount, params.evaluationLimit / kBrickSamples);
        const std::uint32_t threads = std::min(std::max<std::uint32_t>(1, params.threads), kMaxBuildThreads);
        const std::size_t batch = static_cast<std::size_t>(threads) * 128;
        std::vector<BlockSamples> samples(static_cast<std::size_t>(std::min<std::uint64_t>(visited, batch)));
        for (std::uint64_t first = 0; first < visited; first += batch) {
            const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(batch, visited - first));
            sampleBlocks(sampler, first, count, threads, samples);
            built.stats.evaluations += static_cast<std::uint64_t>(count) * kBrickSamples;
            for (std::size_t i = 0; i < count; ++i) {
                const BlockSamples& s = samples[i];
                BrickGridEntry& entry = built.grid[first + i];
                if (!s.allFinite) continue;
                if (s.lowestStored > 0.0f) {
                    entry.index = kBrickFar;
                    entry.value = roundDownToFloat(s.lowestShifted);
                    ++built.stats.farBlocks;
                    continue;
                }
                if (built.bricks.size() == built.bricks.capacity()) {
                    const std::uint64_t capacity = built.bricks.capacity();
                    const std::uint64_t others = built.memoryBytes() - capacity * kBrickBytes;
                    const std::uint64_t affordable =
                        others <= params.byteBudget ? (params.byteBudget - others) / kBrickBytes : 0;
                    const std::uint64_t grown =
                        std::min(std::max<std::uint64_t>(16, capacity * 2), affordable);
                    if (grown <= capacity) continue;  // not even one more brick fits
                    built.bricks.reserve(static_cast<std::size_t>(grown));
                }
                entry.index = static_cast<std::uint32_t>(built.bricks.size());
                entry.value = s.lowestStored;
                built.bricks.push_back(s.record);
            }
        }
        for (const BrickGridEntry& entry : built.grid) {
            if (entry.index == kBrickNotBuilt) ++built.stats.unbuiltBlocks;
        }
    }
    built.stats.buildMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return true;
}

}  // namespace

std::uint64_t Bricks::gridEntryCount() const {
    // Three u32 factors fit in 96 bits.
    const unsigned __int128 count = static_cast<unsigned __int128>(gridSize[0]) * gridSize[1] * gridSize[2];
    return count > ~std::uint64_t(0) ? ~std::uint64_t(0) : static_cast<std::uint64_t>(count);
}

std::uint64_t Bricks::memoryBytes() const {
    return kInstructionBytes * program.instructions.capacity() +
           kMaterialBytes * program.materials.capacity() + kPoseBytes * pose.capacity() +
           kGridEntryBytes * grid.capacity() + kBrickBytes * bricks.capacity() + kFixedBytes;
}

bool validatePose(const std::vector<BonePose>& pose) {
    for (const BonePose& p : pose) {
        double squared = 0.0;
        for (float c : p.rotation) {
            if (!finite(c)) return false;
            squared += static_cast<double>(c) * c;
        }
        if (!(std::fabs(squared - 1.0) <= kSdnaUnitTolerance)) return false;
        if (!finite(p.scale) || !(p.scale > 0.0f)) return false;
        for (float c : p.position) {
            if (!finite(c)) return false;
        }
    }
    return true;
}

bool buildBricks(const SdnaProgram& program, const std::vector<BonePose>& pose,
                 const BrickBuildParams& params, Bricks& out, std::string& error) {
    try {
        std::string message;
        if (!validateProgram(program, message)) {
            error = message;
            return false;
        }
        if (!validatePose(pose)) {
            error = "bricks: invalid pose";
            return false;
        }
        if (!(params.cellSize > 0.0f) || !finite(params.cellSize) || !finite(8.0f * params.cellSize)) {
            error = "bricks: invalid cell size";
            return false;
        }
        const unsigned __int128 needed =
            static_cast<unsigned __int128>(kInstructionBytes) * program.instructions.size() +
            static_cast<unsigned __int128>(kMaterialBytes) * program.materials.size() +
            static_cast<unsigned __int128>(kPoseBytes) * pose.size() + kFixedBytes;
        if (needed > params.byteBudget) {
            error = "bricks: budget cannot hold source program and pose";
            return false;
        }
        Bricks built;
        buildInto(program, pose, params, built);
        out = std::move(built);
        error.clear();
        return true;
    } catch (const std::bad_alloc&) {
        error = "bricks: allocation failed";
        return false;
    }
}

std::uint16_t halfRoundedDown(double v) {
    if (!(v >= -65504.0)) return kHalfMinusInfinity;  // also NaN
    if (v > 65504.0) return kHalfMax;
    if (v == 0.0) return 0;
    const bool negative = v < 0.0;
    const double magnitude = std::fabs(v);
    // Exponent of one unit in the last place: 2^-24 below the normal range,
    // otherwise 2^(e - 10) for magnitudes in [2^e, 2^(e+1)).
    int stepExponent = -24;
    if (magnitude >= 0x1p-14) {
        int e = 0;
        std::frexp(magnitude, &e);  // magnitude = f * 2^e, f in [0.5, 1)
        stepExponent = e - 1 - 10;
    }
    const double units = std::ldexp(magnitude, -stepExponent);
    // Towards -infinity: truncate positive magnitudes, round negative ones up.
    std::uint32_t q = static_cast<std::uint32_t>(negative ? std::ceil(units) : std::floor(units));
    const std::uint16_t sign = negative ? 0x8000 : 0;
    if (stepExponent == -24) {
        // Subnormal; q = 1024 is exactly the smallest normal, whose bits agree.
        return static_cast<std::uint16_t>(sign | q);
    }
    if (q == 2048) {
        q = 1024;
        ++stepExponent;
    }
    const std::uint32_t biased = static_cast<std::uint32_t>(stepExponent + 10 + 15);
    return static_cast<std::uint16_t>(sign | (biased << 10) | (q - 1024));
}

float halfBitsToFloat(std::uint16_t bits) {
    const bool negative = (bits & 0x8000) != 0;
    const int exponent = (bits >> 10) & 0x1F;
    const int mantissa = bits & 0x3FF;
    float value;
    if (exponent == 0) {
        value = std::ldexp(static_cast<float>(mantissa), -24);
    } else if (exponent == 31) {
        value = mantissa == 0 ? std::numeric_limits<float>::infinity()
                              : std::numeric_limits<float>::quiet_NaN();
    } else {
        value = std::ldexp(static_cast<float>(mantissa + 1024), exponent - 25);
    }
    return negative ? -value : value;
}

}  // namespace qlmr
