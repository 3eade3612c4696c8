// The browse command's pictures of a tree, and the choice of a branch by its path, over trees
// built by hand the way the connection's browse builds them.
#include "TreeText.h"

#include <gtest/gtest.h>

using namespace cli;

namespace {

// The root of a server's tree, as the connection is: its own name is not part of any path.
class Root : public OPC_Branch {
public:
    Root() : OPC_Branch(nullptr, "Server.1") {}
    bool isConnection() const override { return true; }
};

// a, b, X/x1, X/x2, X/Y/y1, with the items numbered as the connection numbers them.
struct TestTree {
    TestTree()
    {
        OPC_Branch* x = root.addBranch("X");
        OPC_Branch* y = x->addBranch("Y");
        y1 = y->addLeaf("y1");
        x1 = x->addLeaf("x1");
        x2 = x->addLeaf("x2");
        a = root.addLeaf("a");
        b = root.addLeaf("b");
        items = {y1, x1, x2, a, b};
    }
    Root root;
    OPC_Item* y1;
    OPC_Item* x1;
    OPC_Item* x2;
    OPC_Item* a;
    OPC_Item* b;
    std::vector<OPC_Item*> items;
};

using ItemSet = std::unordered_set<const OPC_Item*>;

} // namespace

TEST(TreeText, TreeIndentsBranchesBeforeItems)
{
    TestTree tree;
    EXPECT_EQ(treeLines(tree.root), (std::vector<std::string>{"X/", "  Y/", "    y1", "  x1", "  x2", "a", "b"}));
    EXPECT_EQ(flatLines(tree.items), (std::vector<std::string>{"X/Y/y1\t0", "X/x1\t1", "X/x2\t2", "a\t3", "b\t4"}));
    EXPECT_TRUE(treeLines(Root()).empty());
}

TEST(TreeText, ServerNamesCannotBreakLines)
{
    Root root;
    OPC_Branch* branch = root.addBranch("two\nlines");
    OPC_Item* item = branch->addLeaf("tab\there");
    EXPECT_EQ(treeLines(root), (std::vector<std::string>{"two lines/", "  tab here"}));
    EXPECT_EQ(flatLines({item}), (std::vector<std::string>{"two lines/tab here\t0"}));
}

TEST(TreeText, BranchPathChoosesTheItemsBelowIt)
{
    TestTree tree;
    bool found = false;
    EXPECT_EQ(itemsBelow(tree.root, "X", found), (ItemSet{tree.y1, tree.x1, tree.x2}));
    EXPECT_TRUE(found);
    EXPECT_EQ(itemsBelow(tree.root, "X/Y/", found), (ItemSet{tree.y1}));
    EXPECT_TRUE(found);
    // Items are no branches, and paths compare exactly.
    for (const char* path : {"a", "X/x1", "x", "X/Y/y1", "", "/", "Y", "X//"}) {
        EXPECT_TRUE(itemsBelow(tree.root, path, found).empty()) << path;
        EXPECT_FALSE(found) << path;
    }
    // A branch without items is found all the same.
    tree.root.addBranch("Empty");
    EXPECT_TRUE(itemsBelow(tree.root, "Empty", found).empty());
    EXPECT_TRUE(found);
}

TEST(TreeText, BranchPathTakesEveryBranchOfThatPath)
{
    // Servers may list a name twice, or put the separator into a name: every branch whose path
    // is the one asked for counts.
    Root root;
    OPC_Item* first = root.addBranch("X")->addLeaf("x1");
    OPC_Item* second = root.addBranch("X")->addLeaf("x2");
    OPC_Branch* nested = root.addBranch("A")->addBranch("B");
    OPC_Item* nestedItem = nested->addLeaf("n");
    OPC_Item* slashItem = root.addBranch("A/B")->addLeaf("s");
    bool found = false;
    EXPECT_EQ(itemsBelow(root, "X", found), (ItemSet{first, second}));
    EXPECT_EQ(itemsBelow(root, "A/B", found), (ItemSet{nestedItem, slashItem}));
    EXPECT_TRUE(found);
}
