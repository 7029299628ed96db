// The table of modulo-128 pairs: either order of the calls, ports apart,
// cleared by the other set-up frames, and bounded with the least recently
// used pair forgotten first.
#include "agw/link_modes.h"

#include <gtest/gtest.h>

namespace harvox {
namespace {

TEST(ModuloLinks, PairsPortsClearingAndTheBound) {
  ModuloLinks links(3);
  links.SetExtended(1, "A", "B", true);
  EXPECT_TRUE(links.Extended(1, "B", "A"));
  EXPECT_FALSE(links.Extended(2, "A", "B"));
  EXPECT_FALSE(links.Extended(1, "A", "BB"));
  EXPECT_FALSE(links.Extended(1, "AB", ""));  // no call is a prefix of the key of another pair
  links.SetExtended(1, "C", "D", true);
  links.SetExtended(1, "E", "F", true);
  EXPECT_TRUE(links.Extended(1, "A", "B"));  // a use: C-D is now the oldest
  links.SetExtended(1, "G", "H", true);
  EXPECT_EQ(links.Size(), 3u);
  EXPECT_FALSE(links.Extended(1, "C", "D"));
  EXPECT_TRUE(links.Extended(1, "A", "B") && links.Extended(1, "E", "F") && links.Extended(1, "G", "H"));
  links.SetExtended(1, "B", "A", false);
  links.SetExtended(1, "X", "Y", false);
  EXPECT_FALSE(links.Extended(1, "A", "B"));
  EXPECT_EQ(links.Size(), 2u);
}

}  // namespace
}  // namespace harvox
