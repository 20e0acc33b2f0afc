#include "scene/png_writer.h"
#include "scene/tone_map.h"
#include "support/scratch_mount.h"
#include "support/test_support.h"

#include <cmath>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <stb/stb_image.h>
#include <limits>
#include <optional>
#include <set>
#include <functional>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qlmr {
namespace {

std::vector<std::uint8_t> patternImage(unsigned width, unsigned height)
{
    std::vector<std::uint8_t> rgba(std::size_t(width) * height * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    return rgba;
}

TEST(PngWriter, OneByOneFileHasTheExactBytes)
{
    test::TempDir dir;
    const std::string path = dir.file("one.png");
    const std::uint8_t pixel[4] = {0x11, 0x22, 0x33, 0xFF};
    ASSERT_TRUE(writePng(path, 1, 1, pixel));
    const std::vector<std::uint8_t> bytes = test::readFile(path);
    ASSERT_EQ(bytes.size(), 73u);

    const std::vector<std::uint8_t> expected = {
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A,
        // IHDR
        0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 1, 0, 0, 0, 1, 8, 6, 0, 0, 0,
        0x1F, 0x15, 0xC4, 0x89,
        // IDAT: zlib header, one final stored block of 5 bytes, Adler-32
        0, 0, 0, 16, 'I', 'D', 'A', 'T', 0x78, 0x01, 0x01, 0x05, 0x00, 0xFA, 0xFF,
        0x00, 0x11, 0x22, 0x33, 0xFF, 0x02, 0x14, 0x01, 0x66,
        0, 0, 0, 0, // CRC checked below
        // IEND
        0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (i >= 57 && i < 61)
            continue;
        EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
    }
    const std::uint32_t idatCrc = crc32(std::span(bytes).subspan(37, 4 + 16));
    EXPECT_EQ(bytes[57], std::uint8_t(idatCrc >> 24));
    EXPECT_EQ(bytes[60], std::uint8_t(idatCrc));
}

TEST(PngWriter, ChecksumsMatchKnownValues)
{
    const std::string text = "123456789";
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    EXPECT_EQ(crc32(bytes), 0xCBF43926u);
    EXPECT_EQ(adler32(bytes), 0x091E01DEu);
    EXPECT_EQ(adler32({}), 1u);
    // Long inputs exercise the deferred modulo of Adler-32.
    std::vector<std::uint8_t> ones(100000, 0xFF);
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t v : ones) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    EXPECT_EQ(adler32(ones), (b << 16) | a);
}

struct RoundTripCase {
    unsigned width, height;
};

class PngRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(PngRoundTrip, DecodesToTheSamePixels)
{
    const auto [width, height] = GetParam();
    test::TempDir dir;
    const std::string path = dir.file("image.png");
    const std::vector<std::uint8_t> rgba = patternImage(width, height);
    ASSERT_TRUE(writePng(path, width, height, rgba));
    const test::DecodedImage decoded = test::decodeImage(path);
    ASSERT_EQ(decoded.width, int(width));
    ASSERT_EQ(decoded.height, int(height));
    EXPECT_EQ(decoded.rgba, rgba);
}

// 64x256 needs several deflate blocks; 16383x1 puts a block edge mid-row;
// 128x128 is exactly one full 65535-byte block plus the rest.
INSTANTIATE_TEST_SUITE_P(Sizes, PngRoundTrip,
    ::testing::Values(RoundTripCase{1, 1}, RoundTripCase{3, 5}, RoundTripCase{17, 9}, RoundTripCase{64, 256},
                      RoundTripCase{16383, 1}, RoundTripCase{128, 128}, RoundTripCase{1, 3000}),
    [](const auto& info) { return std::to_string(info.param.width) + "x" + std::to_string(info.param.height); });

TEST(PngWriter, StoredBlocksSplitAt65535Bytes)
{
    // 1 x 13107 rows of (4 + 1) bytes = 65535 raw bytes: one final block.
    std::vector<std::uint8_t> file = encodePng(1, 13107, patternImage(1, 13107));
    ASSERT_FALSE(file.empty());
    // Signature 8, IHDR 25, IDAT length and type 8, zlib header 2.
    EXPECT_EQ(file[43], 1);
    EXPECT_EQ(file[44], 0xFF);
    EXPECT_EQ(file[45], 0xFF);

    // 65536 raw bytes are impossible with 5-byte rows; 2 x 8192 rows of 9
    // bytes = 73728: a full block (header 0) then a final block of 8193.
    file = encodePng(2, 8192, patternImage(2, 8192));
    EXPECT_EQ(file[43], 0);
    const std::size_t second = 43 + 5 + 65535;
    EXPECT_EQ(file[second], 1);
    EXPECT_EQ(file[second + 1] | (file[second + 2] << 8), 73728 - 65535);
}

TEST(PngWriter, RejectsBadInputWithoutCreatingAFile)
{
    test::TempDir dir;
    const std::vector<std::uint8_t> rgba = patternImage(4, 4);
    const std::string path = dir.file("bad.png");

    EXPECT_FALSE(writePng(path, 4, 4, std::span(rgba).first(rgba.size() - 1)));
    EXPECT_FALSE(writePng(path, 0, 4, rgba));
    EXPECT_FALSE(writePng(path, 4, 0, std::span(rgba).first(4)));
    // width * height * 4 wraps around in 32 bits here; the check must not.
    EXPECT_FALSE(writePng(path, 0x40000000u, 4, rgba));
    // Here four bytes a pixel wrap around even in 64 bits: to 0, and (for
    // (2^31 + 2^16 + 1) (2^31 - 2^16 + 1) = 2^62 + 1 pixels) to 4. Neither
    // an empty span nor one pixel may pass for the image's pixels.
    EXPECT_FALSE(writePng(path, 0x80000000u, 0x80000000u, {}));
    EXPECT_TRUE(encodePng(0x80000000u, 0x80000000u, {}).empty());
    EXPECT_FALSE(writePng(path, 0x80010001u, 0x7FFF0001u, std::span(rgba).first(4)));
    EXPECT_FALSE(std::filesystem::exists(path));

    EXPECT_FALSE(writePng(dir.file("missing/dir/x.png"), 4, 4, rgba));
}

// The zlib stream of a PNG file: the data of its IDAT chunks in order.
std::vector<std::uint8_t> zlibStreamOf(const std::vector<std::uint8_t>& file)
{
    std::vector<std::uint8_t> stream;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const std::size_t length =
            (std::size_t(file[at]) << 24) | (file[at + 1] << 16) | (file[at + 2] << 8) | file[at + 3];
        if (std::equal(file.begin() + at + 4, file.begin() + at + 8, "IDAT"))
            stream.insert(stream.end(), file.begin() + at + 8, file.begin() + at + 8 + length);
        at += 12 + length;
    }
    return stream;
}

struct StoredBlock {
    int final;
    std::size_t length;
    bool operator==(const StoredBlock&) const = default;
};

// The stored blocks of a zlib stream: header byte and LEN, NLEN checked.
std::vector<StoredBlock> storedBlocksOf(const std::vector<std::uint8_t>& stream)
{
    std::vector<StoredBlock> blocks;
    std::size_t at = 2;
    while (at + 5 <= stream.size()) {
        const std::size_t length = stream[at + 1] | (stream[at + 2] << 8);
        const std::size_t inverse = stream[at + 3] | (stream[at + 4] << 8);
        EXPECT_EQ(length ^ 0xFFFFu, inverse) << "NLEN of block " << blocks.size();
        blocks.push_back({stream[at], length});
        at += 5 + length;
        if (blocks.back().final)
            break;
    }
    EXPECT_EQ(at + 4, stream.size()) << "only the Adler-32 follows the last block";
    return blocks;
}

struct EmptyImageCase {
    unsigned width, height;
    std::vector<StoredBlock> blocks;
};

class PngWithoutPixels : public ::testing::TestWithParam<EmptyImageCase> {};

// An image with no pixels is written like any other: its raw data is one
// filter byte per row (none at all without rows) in stored blocks of at
// most 65535 bytes, and at least one block even when there is no data.
TEST_P(PngWithoutPixels, IsWrittenWithItsRowFilterBytes)
{
    const EmptyImageCase& c = GetParam();
    test::TempDir dir;
    const std::string path = dir.file("empty.png");
    ASSERT_TRUE(writePng(path, c.width, c.height, {}));
    const std::vector<std::uint8_t> file = test::readFile(path);
    ASSERT_GE(file.size(), 33u);
    EXPECT_EQ(std::vector<std::uint8_t>(file.begin() + 16, file.begin() + 24),
              (std::vector<std::uint8_t>{std::uint8_t(c.width >> 24), std::uint8_t(c.width >> 16),
                                         std::uint8_t(c.width >> 8), std::uint8_t(c.width),
                                         std::uint8_t(c.height >> 24), std::uint8_t(c.height >> 16),
                                         std::uint8_t(c.height >> 8), std::uint8_t(c.height)}));

    const std::vector<std::uint8_t> stream = zlibStreamOf(file);
    ASSERT_GE(stream.size(), 11u);
    EXPECT_EQ(stream[0], 0x78);
    EXPECT_EQ(stream[1], 0x01);
    EXPECT_EQ(storedBlocksOf(stream), c.blocks);

    // A standard inflater gives back the filter bytes, all 0.
    int length = -1;
    char* raw = stbi_zlib_decode_malloc(reinterpret_cast<const char*>(stream.data()), int(stream.size()), &length);
    ASSERT_NE(raw, nullptr);
    const std::vector<std::uint8_t> inflated(raw, raw + length);
    stbi_image_free(raw);
    EXPECT_EQ(inflated, std::vector<std::uint8_t>(c.height, 0));
}

INSTANTIATE_TEST_SUITE_P(Sizes, PngWithoutPixels,
    ::testing::Values(EmptyImageCase{4, 0, {{1, 0}}}, EmptyImageCase{0, 0, {{1, 0}}},
                      EmptyImageCase{0, 3, {{1, 3}}}, EmptyImageCase{0, 65535, {{1, 65535}}},
                      EmptyImageCase{0, 65536, {{0, 65535}, {1, 1}}}),
    [](const auto& info) { return std::to_string(info.param.width) + "x" + std::to_string(info.param.height); });

TEST(PngWriter, ReportsAFullDiskAsFailure)
{
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "/dev/full is not available";
    const std::vector<std::uint8_t> rgba = patternImage(64, 64);
    EXPECT_FALSE(writePng("/dev/full", 64, 64, rgba));
}

// The names in a folder, links included.
std::set<std::string> namesIn(const std::filesystem::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// While it lives, this process may write no file past `bytes`: a write
// beyond fails with EFBIG (the signal it would raise is ignored), as a
// write onto a full disk fails, and no root is needed for it.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &previous);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lowered{bytes, previous.rlim_max};
        active = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool set() const { return active; }

private:
    rlimit previous{};
    void (*previousHandler)(int) = SIG_DFL;
    bool active = false;
};

// A write that runs out of space midway returns false and leaves no partial
// file, neither under the image's name nor under a temporary one; an older
// image at the path stays whole. The space runs out on a small file system
// where one can be mounted, else at a file size limit.
TEST(PngWriter, FullDiskLeavesTheOlderImageAndNoPartialFile)
{
    test::TempDir dir;
    const std::filesystem::path folder = dir.path() / "small";
    std::optional<test::ScratchMount> mount;
    mount.emplace(folder, 16 * 1024); // four pages
    std::optional<FileSizeLimit> limit;
    if (!mount->mounted()) {
        const std::string why = mount->reason();
        mount.reset();
        std::filesystem::create_directories(folder);
        limit.emplace(16 * 1024);
        ASSERT_TRUE(limit->set()) << "no small file system (" << why << ") and no file size limit";
    }
    const std::string path = (folder / "image.png").string();
    const std::vector<std::uint8_t> older = patternImage(2, 2);
    ASSERT_TRUE(writePng(path, 2, 2, older));

    EXPECT_FALSE(writePng(path, 128, 128, patternImage(128, 128))); // 66 KB
    EXPECT_EQ(namesIn(folder), std::set<std::string>{"image.png"});
    const test::DecodedImage kept = test::decodeImage(path);
    EXPECT_EQ(kept.width, 2);
    EXPECT_EQ(kept.rgba, older);

    EXPECT_FALSE(writePng((folder / "new.png").string(), 128, 128, patternImage(128, 128)));
    EXPECT_EQ(namesIn(folder), std::set<std::string>{"image.png"});
}

// Any name the file system accepts for the image can be written, also one
// at its length limit, with no room left for a temporary suffix; nothing
// but the image is left in the folder.
TEST(PngWriter, WritesANameAtTheFileSystemsLengthLimit)
{
    test::TempDir dir;
    const long limit = ::pathconf(dir.path().c_str(), _PC_NAME_MAX);
    if (limit < 8 || limit > 4096)
        GTEST_SKIP() << "no usable name length limit";
    const std::string name = std::string(std::size_t(limit) - 4, 'n') + ".png";
    const std::vector<std::uint8_t> rgba = patternImage(3, 2);
    ASSERT_TRUE(writePng((dir.path() / name).string(), 3, 2, rgba));
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{name});
    EXPECT_EQ(test::decodeImage((dir.path() / name).string()).rgba, rgba);
}

// Writes that cannot happen return false and change nothing in the folder.
struct RefusedWriteCase {
    const char* label;
    // Prepares `folder` and returns the path to write, or sets `skip`.
    std::string (*prepare)(const std::filesystem::path& folder, std::optional<test::ScratchMount>& mount,
                           std::string& skip);
};

void PrintTo(const RefusedWriteCase& c, std::ostream* os)
{
    *os << c.label;
}

class PngRefusedWrite : public ::testing::TestWithParam<RefusedWriteCase> {};

TEST_P(PngRefusedWrite, ReturnsFalseAndLeavesTheFolderAsItWas)
{
    test::TempDir dir;
    const std::filesystem::path folder = dir.path() / "images";
    std::filesystem::create_directories(folder);
    std::optional<test::ScratchMount> mount;
    std::string skip;
    const std::string path = GetParam().prepare(folder, mount, skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    const std::set<std::string> before = namesIn(folder);
    EXPECT_FALSE(writePng(path, 64, 64, patternImage(64, 64)));
    EXPECT_EQ(namesIn(folder), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PngRefusedWrite,
    ::testing::Values(
        RefusedWriteCase{"folder_that_may_not_be_written",
                         [](const std::filesystem::path& folder, std::optional<test::ScratchMount>& mount,
                            std::string& skip) {
                             if (::geteuid() == 0) {
                                 // Root writes whatever the permissions say.
                                 mount.emplace(folder, 1024 * 1024, true);
                                 skip = mount->mounted() ? "" : mount->reason();
                             } else {
                                 std::filesystem::permissions(folder, std::filesystem::perms::owner_read |
                                                                          std::filesystem::perms::owner_exec);
                             }
                             return (folder / "image.png").string();
                         }},
        RefusedWriteCase{"missing_folder",
                         [](const std::filesystem::path& folder, std::optional<test::ScratchMount>&, std::string&) {
                             return (folder / "missing" / "image.png").string();
                         }},
        RefusedWriteCase{"path_is_a_folder",
                         [](const std::filesystem::path& folder, std::optional<test::ScratchMount>&, std::string&) {
                             std::filesystem::create_directory(folder / "image.png");
                             return (folder / "image.png").string();
                         }},
        // The link stays a link: the write goes through it and fails.
        RefusedWriteCase{"link_to_dev_full",
                         [](const std::filesystem::path& folder, std::optional<test::ScratchMount>&,
                            std::string& skip) {
                             if (!std::filesystem::exists("/dev/full"))
                                 skip = "/dev/full is not available";
                             else
                                 std::filesystem::create_symlink("/dev/full", folder / "image.png");
                             return (folder / "image.png").string();
                         }}),
    [](const auto& info) { return std::string(info.param.label); });

// Runs `write` as the owner of `owned` and returns its result. Tests that
// need permissions to hold cannot run as root (who may write anything):
// then `owned` is handed to the unprivileged user 65534 and `write` runs in
// a child process as that user. Nullopt when it could not run (also when
// that user cannot reach the paths, under a private temporary folder).
std::optional<bool> writeAsOwner(std::initializer_list<std::filesystem::path> owned,
                                 const std::function<bool()>& write)
{
    if (::geteuid() != 0)
        return write();
    constexpr uid_t kNobody = 65534;
    for (const std::filesystem::path& path : owned)
        if (::lchown(path.c_str(), kNobody, kNobody) != 0)
            return std::nullopt;
    const pid_t child = ::fork();
    if (child < 0)
        return std::nullopt;
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        for (const std::filesystem::path& path : owned)
            if (::access(path.parent_path().c_str(), X_OK) != 0)
                ::_exit(2);
        ::_exit(write() ? 1 : 0);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) > 1)
        return std::nullopt;
    return WEXITSTATUS(status) == 1;
}

// A file that may not be written is refused like a folder that may not be
// written: false, and the older image stays whole (a rename would replace
// it whatever its permissions say). A link to such a file is refused too.
TEST(PngWriter, RefusesAFileThatMayNotBeWritten)
{
    test::TempDir dir;
    const std::filesystem::path folder = dir.path() / "images";
    std::filesystem::create_directories(folder);
    const std::filesystem::path path = folder / "image.png";
    const std::vector<std::uint8_t> older = patternImage(2, 2);
    ASSERT_TRUE(writePng(path.string(), 2, 2, older));
    std::filesystem::create_symlink(path, folder / "link.png");

    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);

    for (const std::filesystem::path& written : {path, folder / "link.png"}) {
        const std::optional<bool> result = writeAsOwner(
            {folder, path}, [&] { return writePng(written.string(), 5, 3, patternImage(5, 3)); });
        if (!result)
            GTEST_SKIP() << "cannot write as an unprivileged user here";
        EXPECT_FALSE(*result) << written;
        EXPECT_EQ(namesIn(folder), (std::set<std::string>{"image.png", "link.png"}));
        EXPECT_TRUE(std::filesystem::is_symlink(folder / "link.png"));
        EXPECT_EQ(test::decodeImage(path.string()).rgba, older);
    }
}

// An image that may be written, in a folder that may not, is still
// replaced: it is rewritten in place, since no file can be made beside it.
TEST(PngWriter, RewritesAWritableImageInAFolderThatMayNotBeWritten)
{
    namespace fs = std::filesystem;
    test::TempDir dir;
    const fs::path folder = dir.path() / "images";
    fs::create_directories(folder);
    const fs::path path = folder / "image.png";
    ASSERT_TRUE(writePng(path.string(), 2, 2, patternImage(2, 2)));
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);

    const std::vector<std::uint8_t> rgba = patternImage(6, 5);
    const std::optional<bool> result =
        writeAsOwner({folder, path}, [&] { return writePng(path.string(), 6, 5, rgba); });
    fs::permissions(folder, fs::perms::owner_all);
    if (!result)
        GTEST_SKIP() << "cannot write as an unprivileged user here";
    EXPECT_TRUE(*result);
    EXPECT_EQ(namesIn(folder), std::set<std::string>{"image.png"});
    EXPECT_EQ(test::decodeImage(path.string()).rgba, rgba);
}

// A replaced image keeps its permissions, as a file rewritten in place
// would: a private image stays private, a shared one stays shared.
TEST(PngWriter, ReplacedImageKeepsItsPermissions)
{
    namespace fs = std::filesystem;
    test::TempDir dir;
    const fs::path path = dir.path() / "image.png";
    for (const fs::perms mode : {fs::perms::owner_read | fs::perms::owner_write,
                                 fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                     fs::perms::group_write | fs::perms::others_read}) {
        ASSERT_TRUE(writePng(path.string(), 2, 2, patternImage(2, 2)));
        fs::permissions(path, mode);
        const std::vector<std::uint8_t> rgba = patternImage(4, 3);
        ASSERT_TRUE(writePng(path.string(), 4, 3, rgba));
        EXPECT_EQ(fs::status(path).permissions(), mode);
        EXPECT_EQ(test::decodeImage(path.string()).rgba, rgba);
    }
}

// A link at the path goes on naming the image: the new image replaces its
// target, and nothing else is left in either folder.
TEST(PngWriter, ReplacesTheTargetOfALinkAndLeavesNoTemporaryFile)
{
    test::TempDir dir;
    const std::filesystem::path images = dir.path() / "images";
    const std::filesystem::path store = dir.path() / "store";
    std::filesystem::create_directories(images);
    std::filesystem::create_directories(store);
    ASSERT_TRUE(writePng((store / "target.png").string(), 2, 2, patternImage(2, 2)));
    std::filesystem::create_symlink(store / "target.png", images / "image.png");

    const std::vector<std::uint8_t> rgba = patternImage(9, 7);
    ASSERT_TRUE(writePng((images / "image.png").string(), 9, 7, rgba));
    EXPECT_TRUE(std::filesystem::is_symlink(images / "image.png"));
    EXPECT_EQ(test::decodeImage((store / "target.png").string()).rgba, rgba);
    EXPECT_EQ(namesIn(images), std::set<std::string>{"image.png"});
    EXPECT_EQ(namesIn(store), std::set<std::string>{"target.png"});
}

TEST(ToneMap, CurveEndpointsAndKnownValues)
{
    EXPECT_EQ(toneMap8(0.0f), 0);
    EXPECT_EQ(toneMap8(-5.0f), 0);
    EXPECT_EQ(toneMap8(1000.0f), 255);
    EXPECT_EQ(toneMap8(std::numeric_limits<float>::infinity()), 255);
    EXPECT_EQ(toneMap8(1e30f), 255);
    EXPECT_EQ(toneMap8(std::numeric_limits<float>::quiet_NaN()), 0);

    // Reference computed step by step in double for c = 0.5.
    const double x = 0.5 * 0.8;
    const double y = ((x * 2.51 + 0.03) * x) / ((x * 2.43 + 0.59) * x + 0.14);
    EXPECT_EQ(toneMap8(0.5f), std::lround(std::pow(y, 1 / 2.2) * 255));

    // The curve never decreases.
    int previous = 0;
    for (float c = 0; c < 20; c += 0.01f) {
        const int v = toneMap8(c);
        ASSERT_GE(v, previous) << c;
        previous = v;
    }
}

} // namespace
} // namespace qlmr
