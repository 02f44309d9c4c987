// The error codes users see in error boxes, as the README explains them.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace tw::engine::test {
namespace {

std::string ReadSource(const char* path) {
  std::ifstream file(std::string(TW_SOURCE_DIR) + "/" + path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Catches an engine error code the README's table does not explain (a user
// with "(error code: 15)" in a box has nowhere to look it up), or a row for a
// code the engine does not have.
TEST(StreamErrorCodes, ReadmeTableListsEveryCode) {
  const std::string header = ReadSource("engine/engine.h");
  const std::string readme = ReadSource("README.md");
  ASSERT_FALSE(header.empty());
  ASSERT_FALSE(readme.empty());

  std::map<int, std::string> codes;
  const std::regex define(R"(#define (BASS_OK|BASS_ERROR_\w+) (-?\d+))");
  for (std::sregex_iterator it(header.begin(), header.end(), define), end; it != end; ++it) {
    codes[std::stoi((*it)[2])] = (*it)[1];
  }
  ASSERT_GE(codes.size(), 10u);

  const std::size_t section = readme.find("## Engine error codes");
  ASSERT_NE(section, std::string::npos);
  const std::size_t next = readme.find("\n## ", section + 1);
  const std::string table = readme.substr(section, next - section);
  std::map<int, std::string> rows;
  const std::regex row(R"(\n\| (-?\d+) \| ([^|\n]+) \|)");
  for (std::sregex_iterator it(table.begin(), table.end(), row), end; it != end; ++it) {
    rows[std::stoi((*it)[1])] = (*it)[2];
  }
  for (const auto& [code, name] : codes) {
    EXPECT_TRUE(rows.count(code)) << name << " (" << code << ") is missing from the README";
  }
  for (const auto& [code, text] : rows) {
    EXPECT_TRUE(codes.count(code)) << "the README explains " << code << ", which the engine lacks";
  }
}

}  // namespace
}  // namespace tw::engine::test
