// The gzip codec: what decodes, what is refused, and that a refused file leaves no target.
#include "archive/Gzip.h"
#include "tests/archive/ScratchFolder.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <set>
#include <string>

namespace korvel {
namespace {

using namespace test;

// One gzip member made by zlib's deflate, independently of the decoder under
// test; with MAX_WBITS for its window, zlib's own wrapper instead.
std::string Gzip(const std::string& data, int level = Z_DEFAULT_COMPRESSION,
                 int window = 16 + MAX_WBITS)
{
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, window, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string Flipped(std::string data, std::size_t position)
{
    data[position] = static_cast<char>(data[position] ^ 0x5A);
    return data;
}

const std::string kSentinel = "left as it was";

// Every case decodes alike in memory and from a file, into a target that
// held more bytes before.
TEST(GzipTest, RestoresEveryByteOfEveryMemberInOrder)
{
    ScratchFolder scratch;
    const std::wstring source = scratch / L"paquet \u00e9t\u00e9.gz";
    const std::wstring target = scratch / L"d\u00e9cod\u00e9.bin";
    std::string allBytes;
    for (int value = 0; value < 1024; ++value)
        allBytes += static_cast<char>(value);
    const std::string noise = NoiseBytes(70000, 3);
    const struct {
        const char* label;
        std::string compressed;
        std::string data;
    } cases[] = {
        {"empty member", Gzip(""), ""},
        {"embedded NULs", Gzip(std::string("a\0b\0\0c", 6)), std::string("a\0b\0\0c", 6)},
        {"all byte values", Gzip(allBytes, 9), allBytes},
        {"stored blocks", Gzip(noise, 0), noise},
        {"text over many output blocks", Gzip(TextBytes(500000), 9), TextBytes(500000)},
        {"three megabytes of zeros", Gzip(std::string(3 << 20, '\0'), 9), std::string(3 << 20, 0)},
        {"members", Gzip("first ") + Gzip("") + Gzip(noise) + Gzip("last"),
         "first " + noise + "last"},
    };
    for (const auto& c : cases) {
        std::string decoded = kSentinel;
        EXPECT_EQ(GunzipBuffer(c.compressed, decoded, c.data.size()), GunzipResult::kDecoded)
            << c.label;
        EXPECT_TRUE(decoded == c.data) << c.label;
        ASSERT_TRUE(WriteBytes(source, c.compressed) && WriteBytes(target, TextBytes(4 << 20)));
        EXPECT_EQ(GunzipFile(source, target), GunzipResult::kDecoded) << c.label;
        EXPECT_TRUE(ReadBytes(target) == c.data) << c.label;
        if (c.data.empty())
            continue;
        decoded = kSentinel;
        EXPECT_EQ(GunzipBuffer(c.compressed, decoded, c.data.size() - 1), GunzipResult::kTooLarge)
            << c.label;
        EXPECT_EQ(decoded, kSentinel) << c.label;
    }
}

// A refused input leaves the output as it was, and no target file: a
// half-decoded one could pass for a result.
TEST(GzipTest, RejectsDamagedInputAndLeavesNoTarget)
{
    ScratchFolder scratch;
    const std::wstring source = scratch / L"paquet.gz";
    const std::wstring target = scratch / L"d\u00e9cod\u00e9.bin";
    const std::string member = Gzip(TextBytes(20000));
    const std::string large = Gzip(NoiseBytes(1 << 20, 5));
    const std::string two = Gzip("alpha") + Gzip("beta");
    const std::pair<const char*, std::string> cases[] = {
        {"empty input", ""},
        {"last byte missing", member.substr(0, member.size() - 1)},
        {"trailer missing", member.substr(0, member.size() - 8)},
        {"cut in the middle", large.substr(0, large.size() / 2)},
        {"deflate data damaged", Flipped(large, large.size() / 2)},
        {"CRC-32 wrong after all data was written", Flipped(large, large.size() - 8)},
        {"length wrong", Flipped(member, member.size() - 4)},
        {"magic wrong", Flipped(member, 0)},
        {"compression method wrong", Flipped(member, 2)},
        {"zlib wrapper instead of gzip", Gzip("hello", Z_DEFAULT_COMPRESSION, MAX_WBITS)},
        {"second member cut", two.substr(0, two.size() - 3)},
        {"garbage after a member", two + "xyz"},
        {"zero padding after a member", two + std::string(4, '\0')},
    };
    for (const auto& [label, input] : cases) {
        std::string decoded = kSentinel;
        EXPECT_EQ(GunzipBuffer(input, decoded, 1 << 30), GunzipResult::kCorrupt) << label;
        EXPECT_EQ(decoded, kSentinel) << label;
        ASSERT_TRUE(WriteBytes(source, input) && WriteBytes(target, "stale")) << label;
        EXPECT_EQ(GunzipFile(source, target), GunzipResult::kCorrupt) << label;
        EXPECT_EQ(scratch.List(), std::set<std::wstring>{L"paquet.gz"}) << label;
    }
    ASSERT_TRUE(WriteBytes(source, large));
    EXPECT_EQ(GunzipFile(source, target, [calls = 0]() mutable { return ++calls < 3; }),
              GunzipResult::kStopped);
    EXPECT_EQ(GunzipFile(source, scratch / L"missing folder\\target.bin"),
              GunzipResult::kFileFailed);
    EXPECT_EQ(GunzipFile(scratch / L"missing.gz", target), GunzipResult::kFileFailed);
    EXPECT_EQ(scratch.List(), std::set<std::wstring>{L"paquet.gz"});
}

} // namespace
} // namespace korvel
