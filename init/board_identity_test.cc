#include "init/board_identity.h"

#include <gtest/gtest.h>

namespace deployboot {
namespace {

TEST(BoardShortNameTest, Table) {
  const struct { const char* name; const char* shortName; } cases[] = {
      {"42Z", "GB42Z"},
      {"0", "GB0"},
      {"Tesmarel 5 Z9", "GB5Z9"},
      {"Tesmarel  A B  C ", "GBABC"},
      {"Tesmarel ", "GB"},
      {"Tesmarel", "GB Tesmarel"},  // the maker prefix includes its blank
      {"Quorvex 7-Q", "NC7-Q"},
      {"Quorvex 7 Q", "NC7Q"},
      {"Pallistra X 1", "NSX1"},
      {"pallistra X 1", "GB pallistra X 1"},  // case matters
      {"HX7", "HX7"},
      {"GB300", "GB300"},
      {"NC 5", "NC 5"},
      {"NSA", "NSA"},
      {"mini box", "GB mini box"},
      {"H", "GB H"},
      {"", "GB "},
  };
  for (const auto& c : cases) EXPECT_EQ(boardShortNameFor(c.name), c.shortName) << '"' << c.name << '"';
}

}  // namespace
}  // namespace deployboot
