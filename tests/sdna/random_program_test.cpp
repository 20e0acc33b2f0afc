// Random corpus programs: reproducible per seed, always valid and bounded,
// reaching every opcode and the degenerate cases the corpus is meant to test.
#include "sdna/random_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "sdna/builder.h"
#include "sdna/evaluator.h"
#include "sdna/validator.h"

namespace qlmr {
namespace {

constexpr std::uint32_t kSeedCount = 3000;

std::vector<std::uint8_t> bytesOf(const RandomProgram& r) {
    std::vector<std::uint8_t> bytes;
    const auto append = [&](const void* data, std::size_t size) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
    };
    append(r.program.instructions.data(), r.program.instructions.size() * sizeof(SdnaInstruction));
    append(r.program.materials.data(), r.program.materials.size() * sizeof(SdnaMaterial));
    append(r.pose.data(), r.pose.size() * sizeof(BonePose));
    append(&r.program.boneCount, sizeof r.program.boneCount);
    append(&r.program.flags, sizeof r.program.flags);
    append(r.program.boundsMin.data(), sizeof r.program.boundsMin);
    append(r.program.boundsMax.data(), sizeof r.program.boundsMax);
    return bytes;
}

TEST(SdnaRandomProgram, SameSeedSameProgramAndPose) {
    std::set<std::vector<std::uint8_t>> distinct;
    const std::uint32_t seeds[] = {0, 1, 2, 16, 17, 34, 12345, 0x7FFFFFFFu, 0xFFFFFFFFu};
    for (std::uint32_t seed : seeds) {
        SCOPED_TRACE(seed);
        const std::vector<std::uint8_t> first = bytesOf(randomProgram(seed));
        EXPECT_EQ(bytesOf(randomProgram(seed)), first);
        distinct.insert(first);
    }
    // The seed drives the program: different seeds give different programs.
    EXPECT_EQ(distinct.size(), std::size(seeds));
}

TEST(SdnaRandomProgram, EverySeedGivesAValidBoundedProgram) {
    std::mt19937 points(3);
    std::uniform_real_distribution<float> coordinate(-2.0f, 2.0f);
    for (std::uint32_t seed = 0; seed < kSeedCount; ++seed) {
        SCOPED_TRACE(seed);
        const RandomProgram r = randomProgram(seed);
        const SdnaProgram& p = r.program;
        std::string error;
        ASSERT_TRUE(validateProgram(p, error)) << error;

        EXPECT_EQ(p.boundsMin, (std::array<float, 3>{-2, -2, -2}));
        EXPECT_EQ(p.boundsMax, (std::array<float, 3>{2, 2, 2}));
        ASSERT_EQ(p.materials.size(), 2u);
        EXPECT_EQ(p.materials[0].red, 0.7f);
        EXPECT_EQ(p.materials[1].roughness, 0.7f);
        EXPECT_LE(p.boneCount, 3u);
        EXPECT_EQ(r.pose.size(), p.boneCount);

        // The body is clipped by the fixed box; a seed that is a multiple of
        // 17 appends the experimental unary and sets its flag.
        const bool experimental = seed % 17 == 0;
        EXPECT_EQ(p.flags, experimental ? kSdnaFlagExperimental : 0u);
        const std::size_t n = p.instructions.size();
        const std::size_t tail = experimental ? 3 : 2;
        ASSERT_GT(n, tail);
        if (experimental) {
            EXPECT_EQ(p.instructions[n - 1].op, SdnaOp::Experimental);
        }
        const SdnaInstruction& clip = p.instructions[n - tail];
        EXPECT_EQ(clip.op, SdnaOp::Box);
        EXPECT_EQ(clip.p, (std::array<float, 8>{0, 0, 0, 2, 2, 2, 0, 0}));
        EXPECT_EQ(p.instructions[n - tail + 1].op, SdnaOp::Intersect);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            EXPECT_NE(p.instructions[i].op, SdnaOp::Experimental) << "instruction " << i;
        }

        for (const BonePose& pose : r.pose) {
            const auto& q = pose.rotation;
            EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0f, 1e-5f);
            EXPECT_GT(pose.scale, 0.0f);
        }

        // Degenerate parameters still evaluate to numbers.
        for (int k = 0; k < 8; ++k) {
            const std::array<float, 3> x{coordinate(points), coordinate(points), coordinate(points)};
            const float d = evaluateProgram(p, x, r.pose.data(), r.pose.size()).distance;
            ASSERT_FALSE(std::isnan(d)) << x[0] << " " << x[1] << " " << x[2];
        }
    }
}

// Across many seeds the grammar reaches every opcode, both extreme scales in
// frames and in poses, and the degenerate parameters.
TEST(SdnaRandomProgram, CorpusCoversOpcodesAndDegenerateCases) {
    std::set<int> opcodes;
    std::set<std::uint32_t> bones;
    bool equalCapsuleEnds = false, zeroRadiusSphere = false, tinyBlend = false, thinOnion = false;
    bool frameScaleSmall = false, frameScaleLarge = false, poseScaleSmall = false, poseScaleLarge = false;
    for (std::uint32_t seed = 0; seed < kSeedCount; ++seed) {
        const RandomProgram r = randomProgram(seed);
        for (const SdnaInstruction& ins : r.program.instructions) {
            opcodes.insert(static_cast<int>(ins.op));
            const auto& p = ins.p;
            switch (ins.op) {
            case SdnaOp::Capsule:
                equalCapsuleEnds |= p[0] == p[3] && p[1] == p[4] && p[2] == p[5];
                break;
            case SdnaOp::Sphere:
                zeroRadiusSphere |= p[3] == 0.0f;
                break;
            case SdnaOp::SmoothUnion:
                tinyBlend |= p[0] == 1e-7f;
                break;
            case SdnaOp::Onion:
                thinOnion |= p[0] == 0.0001f;
                break;
            case SdnaOp::PushTransform:
                frameScaleSmall |= p[7] == 0.01f;
                frameScaleLarge |= p[7] == 100.0f;
                break;
            case SdnaOp::PushBone:
                bones.insert(ins.bone);
                break;
            default:
                break;
            }
        }
        for (const BonePose& pose : r.pose) {
            poseScaleSmall |= pose.scale == 0.01f;
            poseScaleLarge |= pose.scale == 100.0f;
        }
    }
    EXPECT_EQ(opcodes, (std::set<int>{1, 2, 3, 4, 5, 6, 32, 33, 34, 35, 64, 65, 96, 97, 98, 192}));
    EXPECT_EQ(bones, (std::set<std::uint32_t>{0, 1, 2}));
    EXPECT_TRUE(equalCapsuleEnds);
    EXPECT_TRUE(zeroRadiusSphere);
    EXPECT_TRUE(tinyBlend);
    EXPECT_TRUE(thinOnion);
    EXPECT_TRUE(frameScaleSmall);
    EXPECT_TRUE(frameScaleLarge);
    EXPECT_TRUE(poseScaleSmall);
    EXPECT_TRUE(poseScaleLarge);
}

// A second reading of the grammar, word by word, that writes the expected
// instruction records directly (no builder): the generator must produce
// exactly these bytes, plane normals included (each normalisation divides by
// the length).
class GrammarReplay {
public:
    explicit GrammarReplay(std::uint32_t seed) : words_(seed + 0x53444E41u) {}

    std::vector<SdnaInstruction> program() {
        const int depth = static_cast<int>(words_() % 3) + 1;
        node(depth);
        emit(SdnaOp::Box, {0, 0, 0, 2, 2, 2, 0, 0});
        emit(SdnaOp::Intersect, {});
        return code_;
    }

    // The poses drawn after the program, one per bone, as transforms are drawn.
    std::vector<BonePose> pose(std::uint32_t boneCount) {
        std::vector<BonePose> poses;
        for (std::uint32_t bone = 0; bone < boneCount; ++bone) {
            transform();
            const SdnaInstruction t = code_.back();
            code_.pop_back();
            BonePose p;
            p.rotation = {t.p[0], t.p[1], t.p[2], t.p[3]};
            p.position = {t.p[4], t.p[5], t.p[6]};
            p.scale = t.p[7];
            poses.push_back(p);
        }
        return poses;
    }

private:
    using Params = std::array<float, 8>;

    float unit() { return static_cast<float>(words_() >> 8) * 0x1p-24f; }
    float uniform(float lo, float hi) { return unit() * (hi - lo) + lo; }
    std::array<float, 3> point(float r) {
        const float x = uniform(-r, r);
        const float y = uniform(-r, r);
        return {x, y, uniform(-r, r)};
    }
    void emit(SdnaOp op, Params p, std::uint16_t material = 0, std::uint32_t bone = 0) {
        SdnaInstruction ins;
        ins.op = op;
        ins.material = material;
        ins.bone = bone;
        ins.p = p;
        code_.push_back(ins);
    }
    void transform() {
        const float x = (unit() * 6.0f - 3.0f) * 0.5f;
        const std::array<float, 3> t = point(0.25f);
        const std::uint32_t rule = words_() % 12;
        const float s = rule == 0 ? 0.01f : rule == 1 ? 100.0f : unit() + 0.5f;
        emit(SdnaOp::PushTransform, {0.0f, std::sin(x), 0.0f, std::cos(x), t[0], t[1], t[2], s});
    }
    static std::array<float, 3> divided(std::array<float, 3> v) {
        const float l = std::sqrt(std::max(v[0] * v[0] + v[1] * v[1] + v[2] * v[2], 1e-30f));
        return {v[0] / l, v[1] / l, v[2] / l};
    }
    void leaf() {
        const std::array<float, 3> a = point(0.7f);
        const std::array<float, 3> b = words_() % 5 == 0 ? a : point(0.7f);
        const float r = words_() % 7 == 0 ? 0.0f : unit() * 0.7f + 0.1f;
        const auto m = static_cast<std::uint16_t>(words_() & 1u);
        switch (words_() % 6) {
        case 0: emit(SdnaOp::Sphere, {a[0], a[1], a[2], r}, m); break;
        case 1: emit(SdnaOp::Capsule, {a[0], a[1], a[2], b[0], b[1], b[2], r}, m); break;
        case 2: {
            const float rb = uniform(0.0f, 0.7f);
            emit(SdnaOp::TaperedCapsule, {a[0], a[1], a[2], r, b[0], b[1], b[2], rb}, m);
            break;
        }
        case 3: {
            const float rx = uniform(0.1f, 0.9f);
            const float ry = uniform(0.1f, 0.9f);
            const float rz = uniform(0.1f, 0.9f);
            emit(SdnaOp::Ellipsoid, {a[0], a[1], a[2], rx, ry, rz}, m);
            break;
        }
        case 4: {
            const float corner = uniform(0.0f, 0.1f);
            const float hy = uniform(0.0f, 0.7f);
            const float hz = uniform(0.0f, 0.7f);
            emit(SdnaOp::Box, {a[0], a[1], a[2], r, hy, hz, corner}, m);
            break;
        }
        default: {
            const float offset = uniform(-0.5f, 0.5f);
            const float nx = uniform(0.2f, 1.0f);
            const float ny = uniform(0.2f, 1.0f);
            const float nz = uniform(0.2f, 1.0f);
            const std::array<float, 3> n = divided(divided({nx, ny, nz}));
            emit(SdnaOp::Plane, {n[0], n[1], n[2], offset}, m);
            break;
        }
        }
    }
    void node(int depth) {
        const std::uint32_t frame = words_() % 4;
        if (frame == 0) transform();
        if (frame == 1) emit(SdnaOp::PushBone, {}, 0, words_() % 3);
        if (depth == 0) {
            leaf();
        } else {
            node(depth - 1);
            node(depth - 1);
            const std::uint32_t c = words_() % 4;
            if (c == 1) {
                const float k = words_() % 3 == 0 ? 1e-7f : uniform(0.0f, 0.4f);
                emit(SdnaOp::SmoothUnion, {k});
            } else {
                emit(c == 0 ? SdnaOp::Union : c == 2 ? SdnaOp::Intersect : SdnaOp::Subtract, {});
            }
        }
        if (words_() % 4 == 0) emit(SdnaOp::Offset, {uniform(-0.1f, 0.1f)});
        if (words_() % 5 == 0) emit(SdnaOp::Onion, {words_() % 3 == 0 ? 0.0001f : uniform(0.0f, 0.15f)});
        if (frame <= 1) emit(SdnaOp::Pop, {});
    }

    std::mt19937 words_;
    std::vector<SdnaInstruction> code_;
};

TEST(SdnaRandomProgram, InstructionsFollowTheGrammarWordByWord) {
    int planes = 0;
    for (std::uint32_t seed = 1; seed < 600; ++seed) {
        if (seed % 17 == 0) continue;  // the experimental tail is checked elsewhere
        SCOPED_TRACE(seed);
        GrammarReplay replay(seed);
        const std::vector<SdnaInstruction> expected = replay.program();
        const RandomProgram generated = randomProgram(seed);
        const std::vector<SdnaInstruction>& got = generated.program.instructions;
        const std::vector<BonePose> poses = replay.pose(generated.program.boneCount);
        ASSERT_EQ(generated.pose.size(), poses.size());
        for (std::size_t bone = 0; bone < poses.size(); ++bone) {
            EXPECT_EQ(std::memcmp(&generated.pose[bone], &poses[bone], sizeof(BonePose)), 0) << "bone " << bone;
        }
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(std::memcmp(&got[i], &expected[i], sizeof(SdnaInstruction)), 0)
                << "instruction " << i << " (op " << static_cast<int>(got[i].op) << ")";
            planes += got[i].op == SdnaOp::Plane;
        }
    }
    EXPECT_GT(planes, 50);
}

// The transform takes its words in a fixed order: the angle, the three
// translation components, the scale rule and, for an ordinary scale, one
// more word. Read back from copies of the same generator state.
TEST(SdnaRandomProgram, InstanceTransformReadsItsWordsInOrder) {
    std::mt19937 generator(99);
    const auto unit = [](std::uint32_t w) { return static_cast<float>(w >> 8) * 0x1p-24f; };
    int extremes = 0;
    for (int k = 0; k < 2000; ++k) {
        std::mt19937 words = generator;
        const SdnaBuilder::Transform t = randomInstanceTransform(generator);

        const float angle = (unit(words()) * 6.0f - 3.0f) * 0.5f;
        EXPECT_EQ(t.rotation, (std::array<float, 4>{0.0f, std::sin(angle), 0.0f, std::cos(angle)}));
        for (int axis = 0; axis < 3; ++axis) {
            EXPECT_EQ(t.translation[axis], unit(words()) * 0.5f - 0.25f);
        }
        const std::uint32_t rule = words() % 12;
        if (rule == 0) {
            EXPECT_EQ(t.scale, 0.01f);
        } else if (rule == 1) {
            EXPECT_EQ(t.scale, 100.0f);
        } else {
            EXPECT_EQ(t.scale, unit(words()) + 0.5f);
        }
        extremes += rule < 2;
        // Both generators have taken the same number of words.
        ASSERT_EQ(words, generator);
    }
    EXPECT_GT(extremes, 0);
}

TEST(SdnaRandomProgram, RejectedProgramThrowsWithTheBuildersMessage) {
    struct Case {
        const char* name;
        void (*build)(SdnaBuilder&);
        const char* message;
    };
    const Case cases[] = {
        {"two values left",
         [](SdnaBuilder& b) { b.sphere({0, 0, 0}, 1).sphere({1, 0, 0}, 1); },
         "program does not reduce to one value"},
        {"validator rejects",
         [](SdnaBuilder& b) { b.sphere({0, 0, 0}, -1).bounds({-1, -1, -1}, {1, 1, 1}); },
         "sdna: instruction 0: negative radius"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SdnaBuilder builder;
        c.build(builder);
        try {
            finishGeneratedProgram(builder);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }

    SdnaBuilder good;
    good.sphere({0, 0, 0}, 1);
    const SdnaProgram program = finishGeneratedProgram(good);
    EXPECT_EQ(program.instructions.size(), 1u);
}

}  // namespace
}  // namespace qlmr
