// Hostile-file robustness: seeded random damage to valid files must always
// end in a valid program or exactly one known message, never in a crash, a
// read outside the bytes, a hang or an unbounded allocation.
#include "sdna/builder.h"
#include "sdna/container.h"
#include "sdna/container_writer.h"
#include "sdna/critter.h"
#include "sdna/sdna_reader.h"
#include "sdna/validator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace qlmr {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Every message the reader chain can give; those ending in a space are
// followed by a decimal number, those with a '#' carry one in the middle.
bool isKnownMessage(const std::string& m)
{
    static const char* const exact[] = {
        "not an QLC1 container", "unsupported container flags", "truncated section table", "section out of range",
        "sdna: not a SCEN container", "sdna: no SDNA section", "sdna: section too small", "sdna: section truncated",
        "sdna: reserved header word must be zero", "sdna: unknown header flags", "sdna: bone count too large",
        "sdna: unclosed frame", "sdna: non-finite material", "sdna: bounds are not a finite box",
    };
    static const char* const perInstruction[] = {
        "reserved fields must be 0", "non-finite parameter",
        "experimental opcode requires the experimental header flag", "unknown opcode",
        "material index out of range", "plane normal is not unit length", "negative radius",
        "ellipsoid radii must be positive", "negative box extent", "value stack too deep",
        "combinator needs two operands", "combinator reaches outside its frame", "unary op needs an operand",
        "unary op reaches outside its frame", "quaternion is not unit length", "scale must be positive",
        "bone index out of range", "frames nested too deep", "Pop without a frame",
        "a frame must produce exactly one value", "Repeat is reserved and not yet specified",
    };
    auto isNumber = [](std::string_view s) {
        return !s.empty() && s.size() <= 20 && s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    auto numberAfter = [&](std::string_view prefix, std::string_view suffix = {}) {
        if (m.size() < prefix.size() + suffix.size() || m.compare(0, prefix.size(), prefix) != 0 ||
            m.compare(m.size() - suffix.size(), suffix.size(), suffix) != 0)
            return false;
        return isNumber(std::string_view(m).substr(prefix.size(), m.size() - prefix.size() - suffix.size()));
    };
    for (const char* e : exact)
        if (m == e)
            return true;
    if (numberAfter("sdna: unsupported version ") || numberAfter("section SDNA: unsupported flags ") ||
        numberAfter("sdna: program must leave exactly one value (has ", ")"))
        return true;
    const std::string_view head = "sdna: instruction ";
    if (m.compare(0, head.size(), head) == 0) {
        const std::size_t colon = m.find(": ", head.size());
        if (colon == std::string::npos || !isNumber(std::string_view(m).substr(head.size(), colon - head.size())))
            return false;
        const std::string text = m.substr(colon + 2);
        for (const char* t : perInstruction)
            if (text == t)
                return true;
    }
    return false;
}

// A random valid program from the builder: primitives, combinators, unary
// operators and frames, reduced to one value.
SdnaProgram randomProgram(std::mt19937& rng)
{
    std::uniform_real_distribution<float> coord(-1.0f, 1.0f), size(0.05f, 0.5f);
    SdnaBuilder b;
    b.material({0.1f, 0.2f, 0.3f, 0.4f});
    b.material({0.5f, 0.6f, 0.7f, 0.8f});
    auto primitive = [&] {
        const std::uint16_t m = static_cast<std::uint16_t>(rng() % 2);
        switch (rng() % 5) {
        case 0: b.sphere({coord(rng), coord(rng), coord(rng)}, size(rng), m); break;
        case 1: b.capsule({coord(rng), coord(rng), 0}, {coord(rng), 0, coord(rng)}, size(rng), m); break;
        case 2: b.taperedCapsule({coord(rng), 0, 0}, size(rng), {0, coord(rng), 0}, size(rng), m); break;
        case 3: b.ellipsoid({coord(rng), coord(rng), coord(rng)}, {size(rng), size(rng), size(rng)}, m); break;
        default: b.box({coord(rng), coord(rng), coord(rng)}, {size(rng), size(rng), size(rng)}, 0.01f, m); break;
        }
    };
    const int parts = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < parts; ++i) {
        const unsigned frame = rng() % 3;
        if (frame == 1) {
            SdnaBuilder::Transform t;
            t.rotation = {0, 0.6f, 0, 0.8f};
            t.translation = {coord(rng), coord(rng), coord(rng)};
            t.scale = 0.5f + size(rng);
            b.pushTransform(t);
        } else if (frame == 2) {
            b.pushBone(rng() % 3);
        }
        primitive();
        if (rng() % 2) {
            primitive();
            b.combine(static_cast<SdnaOp>(32 + rng() % 4), size(rng));
        }
        if (rng() % 3 == 0)
            b.onion(0.02f);
        if (frame != 0)
            b.pop();
        if (i > 0)
            b.combine(static_cast<SdnaOp>(32 + rng() % 4), size(rng));
    }
    SdnaProgram program;
    std::string error;
    if (!b.finish(program, error))
        ADD_FAILURE() << "random program: " << error;
    return program;
}

void putLe32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Values that stress length arithmetic.
std::uint64_t interestingValue(std::mt19937& rng, std::uint64_t length)
{
    const std::uint64_t values[] = {0, 1, 2, 15, 16, 47, 48, 49, length - 1, length, length + 1,
                                    0x7FFFFFFFull, 0x80000000ull, 0xFFFFFFFFull, 0x100000000ull,
                                    0xFFFFFFFFFFFFFFFFull, 0x8000000000000000ull, 65536, 65537};
    if (rng() % 4 == 0)
        return (std::uint64_t(rng()) << 32) | rng();
    return values[rng() % std::size(values)];
}

// Writes into a length field of the container, the table or the SDNA header.
void damageLengthField(Bytes& b, std::mt19937& rng)
{
    struct Field {
        std::size_t at;
        int width;
    };
    const Field fields[] = {{8, 4}, {12, 4}, {24, 8}, {32, 8}, {24, 4}, {32, 4},
                            {40, 4}, {44, 4}, {48, 4}, {52, 4}, {80, 4}, {84, 4}};
    const Field f = fields[rng() % std::size(fields)];
    if (f.at + f.width > b.size())
        return;
    const std::uint64_t v = interestingValue(rng, b.size());
    for (int i = 0; i < f.width; ++i)
        b[f.at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void damage(Bytes& b, std::mt19937& rng)
{
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
        switch (rng() % 6) {
        case 0: // truncate
            b.resize(b.empty() ? 0 : rng() % b.size());
            break;
        case 1: // flip bits
        case 2:
            if (!b.empty())
                b[rng() % b.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            break;
        case 3: // random byte, often an opcode or a float's exponent
            if (!b.empty())
                b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
            break;
        case 4:
            damageLengthField(b, rng);
            break;
        default: // grow by junk
            for (unsigned n = rng() % 64; n > 0; --n)
                b.push_back(static_cast<std::uint8_t>(rng()));
            break;
        }
    }
}

struct Outcome {
    std::size_t accepted = 0;
    std::size_t rejected = 0;
};

// Loads one damaged file from its own exactly-sized heap block, so that a
// read one byte past the end is caught by the address sanitizer.
void loadOne(const Bytes& file, Outcome& outcome)
{
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[file.size() + (file.empty() ? 1 : 0)]);
    if (!file.empty())
        std::memcpy(copy.get(), file.data(), file.size());
    const std::span<const std::uint8_t> bytes(copy.get(), file.size());

    SdnaProgram program;
    std::string error = "untouched";
    if (loadSdna(program, bytes, error)) {
        ++outcome.accepted;
        ASSERT_EQ(error, "untouched");
        std::string again;
        ASSERT_TRUE(validateProgram(program, again)) << again;
        // What was accepted is exactly what the file holds: writing and
        // reading it again gives the same program.
        SdnaProgram reread;
        ASSERT_TRUE(loadSdna(reread, encodeSdnaFile(program), again)) << again;
        ASSERT_EQ(encodeSdnaFile(reread), encodeSdnaFile(program));
    } else {
        ++outcome.rejected;
        ASSERT_TRUE(isKnownMessage(error)) << "unexpected message: " << error;
    }
}

TEST(SdnaMutation, DamagedFilesNeverEscapeTheRules)
{
    std::mt19937 rng(20261210);
    std::vector<Bytes> seeds = {encodeSdnaFile(buildCritter(false)), encodeSdnaFile(buildCritter(true))};
    for (int i = 0; i < 30; ++i)
        seeds.push_back(encodeSdnaFile(randomProgram(rng)));
    for (const Bytes& seed : seeds) {
        Outcome plain;
        loadOne(seed, plain);
        ASSERT_EQ(plain.accepted, 1u);
    }

    Outcome outcome;
    for (int round = 0; round < 60000; ++round) {
        Bytes file = seeds[rng() % seeds.size()];
        damage(file, rng);
        loadOne(file, outcome);
        if (HasFatalFailure())
            return;
    }
    // Both outcomes occur often enough that each path was exercised.
    EXPECT_GT(outcome.accepted, 500u);
    EXPECT_GT(outcome.rejected, 5000u);
}

TEST(SdnaMutation, EveryTruncationOfTheCritterIsRejected)
{
    const Bytes file = encodeSdnaFile(buildCritter(true));
    Outcome outcome;
    for (std::size_t length = 0; length < file.size(); ++length) {
        loadOne(Bytes(file.begin(), file.begin() + length), outcome);
        if (HasFatalFailure())
            return;
    }
    EXPECT_EQ(outcome.accepted, 0u);
    EXPECT_EQ(outcome.rejected, file.size());
}

TEST(SdnaMutation, HugeCountsAreRejectedBeforeAnyAllocation)
{
    // The critter file claiming 2^32 - 1 instructions or materials, or
    // 2^32 - 1 bones (for which a caller would make one pose each).
    const Bytes valid = encodeSdnaFile(buildCritter(false));
    for (std::size_t countField : {4u, 8u}) {
        Bytes b = valid;
        putLe32(b, 16 + 24 + countField, 0xFFFFFFFFu);
        SdnaProgram program;
        std::string error;
        EXPECT_FALSE(loadSdna(program, b, error));
        EXPECT_EQ(error, "sdna: section truncated");
        EXPECT_TRUE(program.instructions.empty());
    }
    Bytes bones = valid;
    putLe32(bones, 16 + 24 + 12, 0xFFFFFFFFu);
    SdnaProgram program;
    std::string error;
    EXPECT_FALSE(loadSdna(program, bones, error));
    EXPECT_EQ(error, "sdna: bone count too large");
}

} // namespace
} // namespace qlmr
