#include "engine/icy.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tw::engine::test {
namespace {

using namespace std::string_literals;

// What a server sends: `metaint` audio bytes, a length byte and the padded block,
// again and again. blocks[i] follows the i-th run of audio; "" sends L = 0.
// Written from the wire format, independently of the splitter.
std::string Interleave(std::size_t metaint, std::string_view audio,
                       const std::vector<std::string>& blocks) {
  std::string wire;
  std::size_t block = 0;
  while (!audio.empty()) {
    std::size_t n = std::min(metaint, audio.size());
    wire.append(audio.substr(0, n));
    audio.remove_prefix(n);
    if (n < metaint) break;
    const std::string text = block < blocks.size() ? blocks[block] : std::string();
    ++block;
    std::size_t length = (text.size() + 15) / 16;
    wire.push_back(static_cast<char>(length));
    wire.append(text);
    wire.append(length * 16 - text.size(), '\0');
  }
  return wire;
}

std::string Audio(std::size_t size) {
  std::string audio;
  for (std::size_t i = 0; i < size; ++i) audio.push_back(static_cast<char>('a' + i % 26));
  return audio;
}

struct Split {
  std::string audio;
  std::vector<std::string> blocks;
};

Split FeedAll(std::size_t metaint, std::string_view wire) {
  IcySplitter splitter(metaint);
  Split out;
  splitter.Feed(wire, &out.audio, &out.blocks);
  return out;
}

// Catches metadata bytes played as audio, blocks cut wrongly or padding kept,
// and a length byte above 127 read as a negative char.
TEST(IcySplitter, SeparatesAudioFromBlocks) {
  struct {
    const char* name;
    std::size_t metaint;
    std::string wire;
    std::string audio;
    std::vector<std::string> blocks;
  } cases[] = {
      {"no metadata in the stream", 0, "ab\x01\x02\0cd"s, "ab\x01\x02\0cd"s, {}},
      {"L = 0 reports nothing", 4, "abcd\0efgh\0ij"s, "abcdefghij", {}},
      {"padded block", 4, "abcd\x01StreamTitle='';\0efgh"s, "abcdefgh", {"StreamTitle='';"}},
      {"block filling all 16 bytes",
       3,
       "abc\x01"
       "0123456789abcdef"
       "xyz"s,
       "abcxyz",
       {"0123456789abcdef"}},
      {"two blocks",
       2,
       "ab\x01T='1';"s + std::string(10, '\0') + "cd\x01T='2';" + std::string(10, '\0') + "ef",
       "abcdef",
       {"T='1';", "T='2';"}},
      {"a block of nothing but padding", 2, "ab\x01"s + std::string(16, '\0') + "cd", "abcd", {}},
      {"NULs inside the text stay; only the end is padding",
       2,
       "ab\x01"
       "A\0B"s +
           std::string(13, '\0') + "cd",
       "abcd",
       {"A\0B"s}},
      {"length byte 128",
       1,
       "a\x80"s + std::string(2048, 'm') + "b",
       "ab",
       {std::string(2048, 'm')}},
      {"length byte 255, the largest block",
       1,
       "a\xff"s + std::string(4080, 'm') + "b",
       "ab",
       {std::string(4080, 'm')}},
  };
  for (auto& c : cases) {
    Split got = FeedAll(c.metaint, c.wire);
    EXPECT_EQ(got.audio, c.audio) << c.name;
    EXPECT_EQ(got.blocks, c.blocks) << c.name;
  }
}

// Catches state lost between calls: the network delivers data in arbitrary
// pieces, so every split of the same bytes must give the same audio and blocks.
TEST(IcySplitter, SameResultWhereverTheDataIsSplit) {
  const std::size_t metaint = 7;
  const std::string audio = Audio(7 * 12 + 3);
  const std::vector<std::string> blocks = {"StreamTitle='One';",
                                           "",
                                           "StreamTitle='Two';StreamUrl='';",
                                           std::string(4080, 'x'),
                                           "",
                                           "x",
                                           std::string(16, 'y'),
                                           "StreamTitle='Three';",
                                           "",
                                           "",
                                           "Z",
                                           "last"};
  const std::string wire = Interleave(metaint, audio, blocks);
  std::vector<std::string> expectedBlocks;
  for (const auto& b : blocks) {
    if (!b.empty()) expectedBlocks.push_back(b);
  }

  auto check = [&](const std::vector<std::size_t>& sizes, const std::string& how) {
    IcySplitter splitter(metaint);
    Split got;
    std::size_t pos = 0;
    for (std::size_t size : sizes) {
      splitter.Feed(std::string_view(wire).substr(pos, size), &got.audio, &got.blocks);
      pos += size;
    }
    ASSERT_EQ(pos, wire.size()) << how;
    EXPECT_EQ(got.audio, audio) << how;
    EXPECT_EQ(got.blocks, expectedBlocks) << how;
  };

  check({wire.size()}, "in one piece");
  check(std::vector<std::size_t>(wire.size(), 1), "one byte at a time");
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    check({cut, wire.size() - cut}, "cut at " + std::to_string(cut));
  }
  for (unsigned seed = 1; seed <= 50; ++seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> size(0, 40);
    std::vector<std::size_t> sizes;
    std::size_t total = 0;
    while (total < wire.size()) {
      sizes.push_back(std::min(size(random), wire.size() - total));
      total += sizes.back();
    }
    check(sizes, "random pieces, seed " + std::to_string(seed));
  }
}

// Catches a block reported before all its bytes arrived, or its bytes leaking
// into the audio, when a length byte promises more than has come so far.
TEST(IcySplitter, IncompleteBlockWaitsForTheRest) {
  IcySplitter splitter(4);
  Split got;
  splitter.Feed(
      "abcd\x02"
      "0123456789",
      &got.audio, &got.blocks);
  EXPECT_EQ(got.audio, "abcd");
  EXPECT_TRUE(got.blocks.empty());

  // A stream that ends here (the length byte was larger than what followed)
  // loses the partial block and nothing else.
  splitter.Feed("", &got.audio, &got.blocks);
  EXPECT_EQ(got.audio, "abcd");
  EXPECT_TRUE(got.blocks.empty());

  splitter.Feed(
      "abcdefghijklmnopqrstuv"
      "efgh",
      &got.audio, &got.blocks);
  EXPECT_EQ(got.audio, "abcdefgh");
  ASSERT_EQ(got.blocks.size(), 1u);
  EXPECT_EQ(got.blocks[0], "0123456789abcdefghijklmnopqrstuv");
}

// Catches a splitter that gets the next length byte wrong after a long run of
// audio fed in pieces larger than metaint.
TEST(IcySplitter, LargePiecesCrossSeveralBlocks) {
  const std::size_t metaint = 16000;
  const std::string audio = Audio(metaint * 5);
  const std::vector<std::string> blocks = {"StreamTitle='A';", "", "StreamTitle='B';",
                                           std::string(100, 'c'), "StreamTitle='D';"};
  const std::string wire = Interleave(metaint, audio, blocks);
  IcySplitter splitter(metaint);
  Split got;
  for (std::size_t pos = 0; pos < wire.size(); pos += 50'000) {
    splitter.Feed(std::string_view(wire).substr(pos, 50'000), &got.audio, &got.blocks);
  }
  EXPECT_EQ(got.audio, audio);
  EXPECT_EQ(got.blocks, (std::vector<std::string>{"StreamTitle='A';", "StreamTitle='B';",
                                                  std::string(100, 'c'), "StreamTitle='D';"}));
}

// Catches locale-dependent or lenient number parsing that would accept junk and
// misplace every later metadata block, and an unbounded metaint.
TEST(IcyMetaint, AcceptsOnlyASaneDecimal) {
  struct {
    const char* value;
    std::optional<std::size_t> metaint;
  } cases[] = {
      {"16000", 16000},
      {"8192", 8192},
      {" 8192\t", 8192},
      {"8192\r\n", 8192},
      {"1", 1},
      {"0", std::nullopt},
      {"00", std::nullopt},
      {"-1", std::nullopt},
      {"+8192", std::nullopt},
      {"8192abc", std::nullopt},
      {"8 192", std::nullopt},
      {"0x2000", std::nullopt},
      {"8192.0", std::nullopt},
      {"", std::nullopt},
      {"  ", std::nullopt},
      {"abc", std::nullopt},
      {"99999999999999999999999999", std::nullopt},
  };
  for (auto& c : cases) EXPECT_EQ(ParseMetaint(c.value), c.metaint) << '"' << c.value << '"';
  EXPECT_EQ(ParseMetaint("81\0"
                         "92"s),
            std::nullopt);
  EXPECT_EQ(ParseMetaint(std::to_string(kMaxMetaint)), kMaxMetaint);
  EXPECT_EQ(ParseMetaint(std::to_string(kMaxMetaint + 1)), std::nullopt);
  EXPECT_GE(kMaxMetaint, 65536u) << "real servers use up to 64 KiB";
}

}  // namespace
}  // namespace tw::engine::test
