#include "core/value/text_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace tesmo {
namespace {

TEST(TextBuffer, KeepsItsTextAcrossEveryKindOfGrowth) {
  // From the heap to mapped pages and on through remapping, the text stays.
  TextBuffer buffer;
  std::string expected;
  for (int i = 0; buffer.size() < (std::size_t{5} << 20); ++i) {
    const std::string piece = std::to_string(i) + ",";
    buffer.append(piece);
    buffer.push_back(';');
    buffer.append(std::size_t(i % 3), '0');
    expected += piece + ";" + std::string(i % 3, '0');
  }
  ASSERT_EQ(buffer.view(), expected);
  buffer.resize(10);
  EXPECT_EQ(buffer.view(), expected.substr(0, 10));
  TextBuffer moved = std::move(buffer);
  EXPECT_EQ(moved.view(), expected.substr(0, 10));
  EXPECT_EQ(buffer.size(), 0u);
}

TEST(TextBuffer, RoomIsTakenOnlyWhenExtended) {
  TextBuffer buffer;
  buffer.append("ab");
  char* room = buffer.make_room(std::size_t{1} << 30);  // address space, not memory
  room[0] = 'c';
  buffer.extend(1);
  EXPECT_EQ(buffer.view(), "abc");
  TextBuffer empty;
  empty.append(nullptr, 0);
  empty.append(0, 'x');
  EXPECT_EQ(empty.view(), "");
}

TEST(TextBuffer, ReusedPagesStartEmptyAndGrowOn) {
  // A released mapping serves the next large buffer: the new text starts
  // empty, holds exactly what is written, and grows past the old size.
  const auto fill = [](TextBuffer& buffer, std::size_t n, char base) {
    std::string expected;
    for (std::size_t i = 0; i < n; ++i) expected.push_back(static_cast<char>(base + i % 23));
    buffer.append(expected);
    return expected;
  };
  for (std::size_t second : {std::size_t{3} << 20, std::size_t{9} << 20}) {
    {
      TextBuffer first;
      fill(first, std::size_t{5} << 20, 'a');
    }
    TextBuffer buffer;
    EXPECT_EQ(buffer.size(), 0u);
    const std::string expected = fill(buffer, second, 'A');
    ASSERT_EQ(buffer.size(), expected.size());
    EXPECT_TRUE(buffer.view() == expected);
    TextBuffer other;  // while `buffer` holds the spare, another maps fresh pages
    const std::string also = fill(other, std::size_t{2} << 20, '0');
    EXPECT_TRUE(other.view() == also);
    EXPECT_TRUE(buffer.view() == expected);
  }
}

}  // namespace
}  // namespace tesmo
