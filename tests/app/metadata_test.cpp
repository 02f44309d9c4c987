#include "app/metadata.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

std::string List(std::initializer_list<const char*> entries) {
  std::string list;
  for (const char* entry : entries) {
    list += entry;
    list.push_back('\0');
  }
  list.push_back('\0');
  return list;
}

// Names and bit rates come from exact, case-sensitive prefixes, every match in order.
TEST(HeaderWalk, IcyNameAndBitrate) {
  std::string headers = List({"ICY 200 OK", "icy-name:Jazz FM", "Icy-Name:Other", "icy-br:128",
                              "icy-genre:jazz", "icy-name:Second"});
  std::vector<StatusSend> expected = {{3, "Jazz FM"}, {4, "bitrate: 128"}, {3, "Second"}};
  EXPECT_EQ(HeaderWalk(headers.data()), expected);
  EXPECT_TRUE(HeaderWalk(nullptr).empty());
  EXPECT_TRUE(HeaderWalk(List({}).data()).empty());
}

// A ';' inside the quotes does not end the title; missing endings still give it.
TEST(StreamTitle, EndsAtTheClosingQuote) {
  struct {
    const char* block;
    const char* title;
  } cases[] = {
      {"StreamTitle='Artist - Song';StreamUrl='';", "Artist - Song"},
      {"StreamTitle='A;B';", "A;B"},
      {"StreamTitle='Song'", "Song"},
      {"StreamTitle='Guns N' Roses - Don't Cry';StreamUrl='';", "Guns N' Roses - Don't Cry"},
      {"StreamTitle='';", ""},
      {"StreamTitle='Unclosed", "Unclosed"},
      {"StreamTitle=Bare;StreamUrl='x';", "Bare"},
      {"StreamUrl='x';StreamTitle='Later';", "Later"},
  };
  for (const auto& c : cases) EXPECT_EQ(TitleFromMetadata(c.block), c.title) << c.block;
  EXPECT_EQ(TitleFromMetadata("StreamUrl='x';"), std::nullopt);
}

// Comment names match in any case over all comments; albumartist and subtitle
// are other comments.
TEST(OggTitle, ArtistAndTitleAnyCase) {
  struct {
    std::string comments;
    const char* title;
  } cases[] = {
      {List({"TITLE=Song"}), "Song"},
      {List({"ARTIST=Band", "TITLE=Song"}), "Band - Song"},
      {List({"encoder=x", "title=Song", "artist=Band"}), "Band - Song"},
      {List({"artist=Band"}), "Band - "},
      {List({"ALBUMARTIST=X", "SUBTITLE=Y"}), ""},
      {List({"TITLE=First", "TITLE=Second"}), "First"},
      {List({"noequals"}), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TitleFromOggComments(c.comments.data()), c.title);
}

// The order of tag types: metadata, else Ogg; then HLS; a block without a title ends it.
TEST(TitleSends, OrderOfTagTypes) {
  using V = std::vector<std::string>;
  std::string ogg = List({"TITLE=Ogg"});
  EXPECT_EQ(TitleSends("StreamTitle='Icy';", ogg.data(), "10.0,Live Show"),
            (V{"Icy", "Live Show"}));
  EXPECT_EQ(TitleSends("StreamUrl='x';", ogg.data(), "10.0,Live"), V{});
  EXPECT_EQ(TitleSends(nullptr, ogg.data(), "10.0,Live"), V{"Ogg"});
  EXPECT_EQ(TitleSends(nullptr, nullptr, "10.0,Live Show"), V{"Live Show"});
  EXPECT_EQ(TitleSends(nullptr, nullptr, "no comma"), V{"no comma"});
  EXPECT_EQ(TitleSends(nullptr, nullptr, ""), V{});
  EXPECT_EQ(TitleSends(nullptr, nullptr, nullptr), V{});
}

}  // namespace
}  // namespace tw
