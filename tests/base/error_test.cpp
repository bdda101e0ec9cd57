#include "base/error.h"

#include <gtest/gtest.h>

namespace orvalinth {
namespace {

TEST(ErrorChain, PrefixAndTextAreJoinedByOneBlank) {
  CXError chain;
  EXPECT_EQ(chain.SetError("x", u"y"), 0);
  chain.SetError("", u"only text");
  chain.SetError("only prefix");
  chain.SetError("value [%s] here", u"v");
  EXPECT_EQ(chain.ChainText(false), "x y\nonly text\nonly prefix\nvalue [v] here");
  EXPECT_EQ(chain.LineCount(), 4);
}

TEST(ErrorChain, TwoLevelContextPathOnTheChild) {
  CXError a("a");
  CXError b("b");
  b.SetParent(&a, true);
  b.SetError("x", u"y");
  EXPECT_EQ(a.ChainText(false), "x y [a.b]");
  // Lines live at the root: every member of the chain sees them.
  EXPECT_EQ(b.LineCount(), 1);
  EXPECT_EQ(b.ChainText(false), "x y [a.b]");
}

TEST(ErrorChain, EmptyContextNamesAreLeftOut) {
  CXError root("outer");
  CXError middle;
  CXError leaf("leaf");
  middle.SetParent(&root, true);
  leaf.SetParent(&middle, true);
  leaf.SetError("p");
  middle.SetError("q");
  EXPECT_EQ(root.ChainText(false), "p [outer.leaf]\nq [outer]");
}

TEST(ErrorChain, IndirectParentSkipsAnUnnamedParentsParent) {
  CXError top;            // unnamed grandparent
  CXError parent("p");
  parent.SetParent(&top, true);
  CXError child;
  child.SetParent(&parent, false);  // parent's parent has an empty name: it becomes the parent
  EXPECT_EQ(child.parent(), &top);
  CXError named_top("t");
  CXError parent2("p");
  parent2.SetParent(&named_top, true);
  CXError child2;
  child2.SetParent(&parent2, false);  // named grandparent: the parent stays
  EXPECT_EQ(child2.parent(), &parent2);
}

TEST(ErrorChain, ChainTextCanClear) {
  CXError chain;
  chain.SetError("one");
  chain.SetError("two");
  EXPECT_EQ(chain.ChainText(true), "one\ntwo");
  EXPECT_EQ(chain.LineCount(), 0);
  EXPECT_EQ(chain.ChainText(false), "");
}

TEST(ErrorChain, WideTextEntersAsUtf8) {
  CXError chain;
  chain.SetError("path", u"C:\\caf\u00E9");
  EXPECT_EQ(chain.ChainText(false), "path C:\\caf\xC3\xA9");
}

}  // namespace
}  // namespace orvalinth
