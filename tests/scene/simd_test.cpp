#include "scene/simd/lanes.h"

#include "scene/packets.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

namespace qlmr::simd {
namespace {

// Every width this build carries is held lane by lane to the one-lane type,
// which mirrors the x86 instruction semantics the kernels rely on; the
// kernels' pass width is made of two native halves.
template <typename T>
class Lanes : public ::testing::Test {};

using Widths = ::testing::Types<std::integral_constant<int, 1>
#if QLMR_HAVE_LANES4
                                ,
                                std::integral_constant<int, 4>
#endif
#if QLMR_HAVE_LANES8
                                ,
                                std::integral_constant<int, 8>
#endif
#if QLMR_PASS_PACKETS > 1
                                ,
                                std::integral_constant<int, kPassLanes>
#endif
                                >;
TYPED_TEST_SUITE(Lanes, Widths);

std::uint32_t bitsOf(float x)
{
    std::uint32_t b;
    std::memcpy(&b, &x, 4);
    return b;
}

// Values that trip up emulations: signed zeros, halves, integers, the 2^23
// and 2^31 edges, infinities, NaN and subnormals, plus random ones.
std::vector<float> trickyFloats()
{
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> v = {0.0f,      -0.0f,      0.5f,       -0.5f,      1.0f,        -1.0f,       1.5f,
                            -1.5f,     2.0f,       -2.0f,      8388607.5f, -8388607.5f, 8388608.0f,  -8388609.0f,
                            2.1e9f,    -2.1e9f,    2147483648.0f, -2147483648.0f, 3e9f, -3e9f, inf, -inf,
                            std::numeric_limits<float>::quiet_NaN(), 1e-40f, -1e-40f, 1e-30f, 0x1p-80f, 65535.0f};
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> big(-1e6f, 1e6f), small(-4.0f, 4.0f);
    for (int i = 0; i < 200; ++i) v.push_back(i % 2 ? big(rng) : small(rng));
    while (v.size() % 8) v.push_back(0.25f);
    return v;
}

std::vector<std::int32_t> trickyInts()
{
    std::vector<std::int32_t> v = {0, 1, -1, 2, -2, 3, 65535, 65536, -65536, 0x7FFFFFFF, INT32_MIN, 46341, -46341, 32768,
                                   123456789, -987654321, 0x10000, 0xFFFF, 255};
    std::mt19937 rng(11);
    std::uniform_int_distribution<std::int32_t> any(INT32_MIN, INT32_MAX), small(-70000, 70000);
    for (int i = 0; i < 200; ++i) v.push_back(i % 2 ? any(rng) : small(rng));
    while (v.size() % 8) v.push_back(5);
    return v;
}

// Runs op over every lane-aligned window of the inputs at width N and
// compares the bit patterns with `reference`, the same operation written on
// plain floats with the x86 instruction's semantics. Width 1 is held to the
// reference as well, so the one-lane type cannot drift from the
// instructions it stands in for.
template <int N, typename Op, typename Reference>
void expectFloatOpMatchesScalar(const std::vector<float>& a, const std::vector<float>& b, Op op,
                                Reference reference, const char* name)
{
    for (std::size_t base = 0; base + N <= a.size(); base += N) {
        const vfloat<N> x = vfloat<N>::load(&a[base]);
        const vfloat<N> y = vfloat<N>::load(&b[base]);
        const vfloat<N> r = op(x, y);
        for (int l = 0; l < N; ++l) {
            const float s = reference(a[base + l], b[base + l]);
            ASSERT_EQ(bitsOf(r.lane(l)), bitsOf(s))
                << name << " of " << a[base + l] << ", " << b[base + l] << " lane " << l;
        }
    }
}

TYPED_TEST(Lanes, FloatArithmeticAndMinMaxMatchScalarBitForBit)
{
    constexpr int N = TypeParam::value;
    const std::vector<float> a = trickyFloats();
    const std::vector<float> b(a.rbegin(), a.rend());
    const auto sum = [](auto x, auto y) { return x + y; };
    expectFloatOpMatchesScalar<N>(a, b, sum, sum, "add");
    const auto difference = [](auto x, auto y) { return x - y; };
    expectFloatOpMatchesScalar<N>(a, b, difference, difference, "sub");
    const auto product = [](auto x, auto y) { return x * y; };
    expectFloatOpMatchesScalar<N>(a, b, product, product, "mul");
    const auto quotient = [](auto x, auto y) { return x / y; };
    expectFloatOpMatchesScalar<N>(a, b, quotient, quotient, "div");
    // minps / maxps give the second operand unless the first is strictly
    // smaller (larger): on NaN and on -0 against +0 too. Against itself,
    // the operands are equal in every lane.
    for (const std::vector<float>* second : {&b, &a}) {
        expectFloatOpMatchesScalar<N>(
            a, *second, [](auto x, auto y) { return min(x, y); }, [](float x, float y) { return x < y ? x : y; },
            "min");
        expectFloatOpMatchesScalar<N>(
            a, *second, [](auto x, auto y) { return max(x, y); }, [](float x, float y) { return x > y ? x : y; },
            "max");
    }
    // Every pairing of the two zeros, in every lane of the widest type.
    std::vector<float> zeros, otherZeros;
    for (int i = 0; i < 16; ++i) {
        zeros.push_back(i & 1 ? -0.0f : 0.0f);
        otherZeros.push_back(i & 2 ? -0.0f : 0.0f);
    }
    expectFloatOpMatchesScalar<N>(
        zeros, otherZeros, [](auto x, auto y) { return min(x, y); },
        [](float x, float y) { return x < y ? x : y; }, "min of zeros");
    expectFloatOpMatchesScalar<N>(
        zeros, otherZeros, [](auto x, auto y) { return max(x, y); },
        [](float x, float y) { return x > y ? x : y; }, "max of zeros");
    // abs and negation only touch the sign bit, NaN's included.
    expectFloatOpMatchesScalar<N>(
        a, b, [](auto x, auto) { return abs(x); }, [](float x, float) { return std::fabs(x); }, "abs");
    expectFloatOpMatchesScalar<N>(
        a, b, [](auto x, auto) { return -x; }, [](float x, float) { return -x; }, "neg");
    expectFloatOpMatchesScalar<N>(
        a, b, [](auto x, auto) { return sqrt(abs(x)); }, [](float x, float) { return std::sqrt(std::fabs(x)); },
        "sqrt");
    expectFloatOpMatchesScalar<N>(
        a, b, [](auto x, auto y) { return select(x < y, x, y); }, [](float x, float y) { return x < y ? x : y; },
        "select");
}

TYPED_TEST(Lanes, MinMaxReturnTheSecondOperandOnNaN)
{
    constexpr int N = TypeParam::value;
    using VF = vfloat<N>;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(min(VF(nan), VF(2.0f)).lane(0), 2.0f);
    EXPECT_EQ(max(VF(nan), VF(2.0f)).lane(0), 2.0f);
    EXPECT_TRUE(std::isnan(min(VF(2.0f), VF(nan)).lane(N - 1)));
    EXPECT_TRUE(any(isNan(VF(nan))));
    EXPECT_TRUE(none(isNan(VF(std::numeric_limits<float>::infinity()))));
    EXPECT_EQ(nanTo(VF(nan), VF(7.0f)).lane(0), 7.0f);
}

TYPED_TEST(Lanes, FloorIsExactForEveryMagnitudeAndKeepsTheSign)
{
    constexpr int N = TypeParam::value;
    const std::vector<float> a = trickyFloats();
    for (std::size_t base = 0; base + N <= a.size(); base += N) {
        const vfloat<N> r = floor(vfloat<N>::load(&a[base]));
        for (int l = 0; l < N; ++l) {
            const float expect = std::floor(a[base + l]);
            if (std::isnan(expect)) {
                EXPECT_TRUE(std::isnan(r.lane(l)));
            } else {
                EXPECT_EQ(bitsOf(r.lane(l)), bitsOf(expect)) << "floor(" << a[base + l] << ")";
            }
        }
    }
}

TYPED_TEST(Lanes, ConversionsTruncateAndOverflowToIntMin)
{
    constexpr int N = TypeParam::value;
    const std::vector<float> a = trickyFloats();
    for (std::size_t base = 0; base + N <= a.size(); base += N) {
        const vint<N> r = toInt(vfloat<N>::load(&a[base]));
        for (int l = 0; l < N; ++l) {
            const float x = a[base + l];
            const std::int32_t expect =
                (x >= -2147483648.0f && x < 2147483648.0f) ? static_cast<std::int32_t>(x) : INT32_MIN;
            EXPECT_EQ(r.lane(l), expect) << "toInt(" << x << ")";
        }
    }
    const std::vector<std::int32_t> ints = trickyInts();
    for (std::size_t base = 0; base + N <= ints.size(); base += N) {
        const vfloat<N> r = toFloat(vint<N>::load(&ints[base]));
        for (int l = 0; l < N; ++l) EXPECT_EQ(r.lane(l), static_cast<float>(ints[base + l]));
    }
}

TYPED_TEST(Lanes, FloorLog2AndExp2ReadTheExponentField)
{
    constexpr int N = TypeParam::value;
    using VI = vint<N>;
    for (int e = -126; e <= 127; ++e) {
        const vfloat<N> p = exp2Int(VI(e));
        EXPECT_EQ(p.lane(N - 1), std::ldexp(1.0f, e));
        EXPECT_EQ(floorLog2(p).lane(0), e);
        if (e < 127) {
            EXPECT_EQ(floorLog2(p * vfloat<N>(1.999f)).lane(0), e);
        }
    }
    EXPECT_EQ(floorLog2(vfloat<N>(1e-30f)).lane(0), -100); // 2^-100 <= 1e-30 < 2^-99
    EXPECT_EQ(floorLog2(vfloat<N>(3.0f)).lane(0), 1);
}

TYPED_TEST(Lanes, IntegerOpsWrapLikeTwosComplement)
{
    constexpr int N = TypeParam::value;
    using VI = vint<N>;
    const std::vector<std::int32_t> a = trickyInts();
    std::vector<std::int32_t> b(a.rbegin(), a.rend());
    for (std::size_t base = 0; base + N <= a.size(); base += N) {
        const VI x = VI::load(&a[base]);
        const VI y = VI::load(&b[base]);
        const VI mul = x * y, add = x + y, sub = x - y, sra = x >> 3, srl = shiftRightLogical(x, 16), sll = x << 5;
        const VI mn = min(x, y), mx = max(x, y), an = andNot(x, y), positive = maxZero(x);
        const VI low = x & VI(0xFFFF), lowProduct = mulU16(low, y & VI(0xFFFF));
        const unsigned lt = bits(x < y), gt = bits(x > y), eq = bits(x == y), le = bits(x <= y);
        for (int l = 0; l < N; ++l) {
            const std::uint32_t ux = std::uint32_t(a[base + l]), uy = std::uint32_t(b[base + l]);
            const std::int32_t sx = a[base + l], sy = b[base + l];
            EXPECT_EQ(mul.lane(l), std::int32_t(ux * uy));
            EXPECT_EQ(add.lane(l), std::int32_t(ux + uy));
            EXPECT_EQ(sub.lane(l), std::int32_t(ux - uy));
            EXPECT_EQ(sra.lane(l), sx >> 3);
            EXPECT_EQ(srl.lane(l), std::int32_t(ux >> 16));
            EXPECT_EQ(sll.lane(l), std::int32_t(ux << 5));
            EXPECT_EQ(mn.lane(l), std::min(sx, sy));
            EXPECT_EQ(mx.lane(l), std::max(sx, sy));
            EXPECT_EQ(an.lane(l), sx & ~sy);
            EXPECT_EQ(positive.lane(l), std::max(sx, 0));
            EXPECT_EQ(std::uint32_t(lowProduct.lane(l)), (ux & 0xFFFFu) * (uy & 0xFFFFu));
            EXPECT_EQ((lt >> l) & 1u, sx < sy ? 1u : 0u);
            EXPECT_EQ((gt >> l) & 1u, sx > sy ? 1u : 0u);
            EXPECT_EQ((eq >> l) & 1u, sx == sy ? 1u : 0u);
            EXPECT_EQ((le >> l) & 1u, sx <= sy ? 1u : 0u);
        }
    }
}

TYPED_TEST(Lanes, MasksCountSelectAndRoundTripThroughBits)
{
    constexpr int N = TypeParam::value;
    using VM = vmask<N>;
    const unsigned full = (1u << N) - 1u;
    for (unsigned b = 0; b <= full; ++b) {
        const VM m = VM::fromBits(b);
        EXPECT_EQ(bits(m), b);
        EXPECT_EQ(count(m), __builtin_popcount(b));
        EXPECT_EQ(any(m), b != 0);
        EXPECT_EQ(all(m), b == full);
        EXPECT_EQ(none(m), b == 0);
        EXPECT_EQ(bits(~m), full & ~b);
        const VM other = VM::fromBits(b * 5u + 1u);
        EXPECT_EQ(bits(andNot(m, other)), b & ~bits(other));
        EXPECT_EQ(bits(m ^ other), b ^ bits(other));
        const vfloat<N> s = select(m, vfloat<N>(1.0f), vfloat<N>(2.0f));
        const vint<N> si = select(m, vint<N>(-3), vint<N>(4));
        const vfloat<N> kept = keep(m, vfloat<N>(-2.5f));
        const vint<N> keptInt = keep(m, vint<N>(-7)), asInteger = asInt(m);
        for (int l = 0; l < N; ++l) {
            const bool set = ((b >> l) & 1u) != 0;
            EXPECT_EQ(m.lane(l), set);
            EXPECT_EQ(s.lane(l), set ? 1.0f : 2.0f);
            EXPECT_EQ(si.lane(l), set ? -3 : 4);
            EXPECT_EQ(bitsOf(kept.lane(l)), bitsOf(set ? -2.5f : 0.0f)); // +0, not -0
            EXPECT_EQ(keptInt.lane(l), set ? -7 : 0);
            EXPECT_EQ(asInteger.lane(l), set ? -1 : 0);
            EXPECT_EQ(maskToOne(m).lane(l), set ? 1.0f : 0.0f);
        }
    }
    EXPECT_EQ(bits(VM(true)), full);
    EXPECT_EQ(bits(VM(false)), 0u);
}

// Masked-off lanes carry an index far outside the array: reading it would
// fault, so the gathers must not touch them, and they come back 0.
TYPED_TEST(Lanes, GathersReadOnlyMaskedLanes)
{
    constexpr int N = TypeParam::value;
    using VI = vint<N>;
    std::vector<std::uint16_t> heights(64 + 8, 0);
    std::vector<std::uint32_t> nodes(64 + 8, 0);
    for (int i = 0; i < 64; ++i) {
        heights[i] = std::uint16_t(65535 - i * 977);
        nodes[i] = 0x9000'0000u + std::uint32_t(i) * 0x10001u;
    }
    const std::int32_t far = 0x3FFFFFFF;
    for (unsigned b = 0; b < (1u << N); ++b) {
        const vmask<N> m = vmask<N>::fromBits(b);
        VI index;
        for (int l = 0; l < N; ++l) index.setLane(l, (b >> l) & 1u ? (l * 13 + int(b)) % 64 : far);
        const VI h = gatherU16(heights.data(), index, m);
        const VI n = gather(nodes.data(), index, m);
        const VI pair = gatherPairU16(heights.data(), index, m);
        for (int l = 0; l < N; ++l) {
            if ((b >> l) & 1u) {
                EXPECT_EQ(h.lane(l), heights[index.lane(l)]);
                EXPECT_EQ(std::uint32_t(n.lane(l)), nodes[index.lane(l)]);
                EXPECT_EQ(std::uint32_t(pair.lane(l)),
                          std::uint32_t(heights[index.lane(l)]) | (std::uint32_t(heights[index.lane(l) + 1]) << 16));
            } else {
                EXPECT_EQ(h.lane(l), 0);
                EXPECT_EQ(n.lane(l), 0);
                EXPECT_EQ(pair.lane(l), 0);
            }
        }
    }
    // The last height of the array is read in full, high bits clear.
    const VI last = gatherU16(heights.data(), VI(63), vmask<N>(true));
    EXPECT_EQ(last.lane(N - 1), heights[63]);
}

TYPED_TEST(Lanes, Lookup16ReadsEveryEntryOfTheTable)
{
    constexpr int N = TypeParam::value;
    std::int32_t table[16];
    for (int i = 0; i < 16; ++i) table[i] = 1000 * i - 7;
    for (int start = 0; start < 16; ++start) {
        vint<N> index;
        for (int l = 0; l < N; ++l) index.setLane(l, (start + 5 * l) % 16);
        const vint<N> r = lookup16(table, index);
        for (int l = 0; l < N; ++l) EXPECT_EQ(r.lane(l), table[(start + 5 * l) % 16]);
    }
}

TEST(Lanes, BuildWidthFollowsTheVariant)
{
#if defined(QLMR_SIMD_AVX2)
    EXPECT_EQ(kLanes, 8);
#elif defined(QLMR_SIMD_SSE2)
    EXPECT_EQ(kLanes, 4);
#endif
    EXPECT_EQ(LaneFloat::size, kLanes);
}

TEST(Lanes, PacketMaskFromABoolSetsOrClearsEveryLane)
{
    static_assert(std::is_same_v<qlmr::Mask8, vmask<kLanes>>, "one mask per packet lane");
    const unsigned full = (1u << kLanes) - 1u;
    EXPECT_EQ(bits(qlmr::Mask8(true)), full);
    EXPECT_EQ(bits(qlmr::Mask8(false)), 0u);
    // All-ones words, so the mask selects whole lanes.
    const vfloat<kLanes> picked = select(qlmr::Mask8(true), vfloat<kLanes>(1.5f), vfloat<kLanes>(-2.0f));
    for (int l = 0; l < kLanes; ++l) EXPECT_EQ(picked.lane(l), 1.5f);
}

} // namespace
} // namespace qlmr::simd
