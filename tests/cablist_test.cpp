// CabFiles list walking and the member name check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/cablist.h"

namespace {

void Collect(const char *item, void *context)
{
    static_cast<std::vector<std::string> *>(context)->push_back(item);
}

struct Walk {
    int count;
    std::vector<std::string> items;
};

Walk WalkOf(const std::string &value)
{
    std::vector<char> buffer(value.begin(), value.end());
    buffer.push_back('\0');
    Walk walk;
    walk.count = WalkCabFiles(buffer.data(), Collect, &walk.items);
    return walk;
}

using Items = std::vector<std::string>;

TEST(CabListWalk, SplitsAtEveryCommaInOrder)
{
    Walk one = WalkOf("app.cab");
    EXPECT_EQ(1, one.count);
    EXPECT_EQ(Items({"app.cab"}), one.items);

    Walk three = WalkOf("a.cab,b.cab,c.cab");
    EXPECT_EQ(3, three.count);
    EXPECT_EQ(Items({"a.cab", "b.cab", "c.cab"}), three.items);
}

TEST(CabListWalk, TrailingCommaRepeatsTheLastItem)
{
    Walk walk = WalkOf("a.cab,");
    EXPECT_EQ(2, walk.count);
    EXPECT_EQ(Items({"a.cab", "a.cab"}), walk.items);

    Walk two = WalkOf("a.cab,b.cab,");
    EXPECT_EQ(3, two.count);
    EXPECT_EQ(Items({"a.cab", "b.cab", "b.cab"}), two.items);
}

TEST(CabListWalk, EmptyItemsAreCountedButNameNoMember)
{
    // "a,,b": the empty middle item would name the workspace folder itself.
    Walk middle = WalkOf("a.cab,,b.cab");
    EXPECT_EQ(3, middle.count);
    EXPECT_EQ(Items({"a.cab", "b.cab"}), middle.items);

    Walk empty = WalkOf("");
    EXPECT_EQ(1, empty.count);
    EXPECT_TRUE(empty.items.empty());

    // ",,": empty, empty, then the last (empty) item once more.
    Walk commas = WalkOf(",,");
    EXPECT_EQ(3, commas.count);
    EXPECT_TRUE(commas.items.empty());

    Walk leading = WalkOf(",a.cab");
    EXPECT_EQ(2, leading.count);
    EXPECT_EQ(Items({"a.cab"}), leading.items);
}

TEST(CabListWalk, ItemsAreNotTrimmed)
{
    Walk walk = WalkOf("a.cab, b.cab ,NO");
    EXPECT_EQ(3, walk.count);
    EXPECT_EQ(Items({"a.cab", " b.cab ", "NO"}), walk.items);
}

TEST(CabListWalk, ItemsOutsideTheWorkspaceAreSkipped)
{
    Walk walk = WalkOf("..\\boot.ini,a.cab,C:\\x.cab,sub/b.cab,..,.,c:d.cab,"
                       "x\\..\\y.cab,. .,b.cab");
    EXPECT_EQ(10, walk.count);
    EXPECT_EQ(Items({"a.cab", "b.cab"}), walk.items);
}

TEST(CabListWalk, ALongListIsWalkedWhole)
{
    std::string value;
    for (int i = 0; i < 100; ++i)
        value += (i ? "," : "") + std::string("m") + std::to_string(i) + ".cab";
    Walk walk = WalkOf(value);
    ASSERT_EQ(100, walk.count);
    ASSERT_EQ(100u, walk.items.size());
    EXPECT_EQ("m0.cab", walk.items.front());
    EXPECT_EQ("m99.cab", walk.items.back());
}

TEST(MemberName, PlainNamesOnly)
{
    EXPECT_TRUE(IsPlainMemberName("Setup.ini"));
    EXPECT_TRUE(IsPlainMemberName("a"));
    EXPECT_TRUE(IsPlainMemberName("..a.cab"));
    EXPECT_TRUE(IsPlainMemberName("a..cab"));
    EXPECT_TRUE(IsPlainMemberName(" b.cab"));

    EXPECT_FALSE(IsPlainMemberName(""));
    EXPECT_FALSE(IsPlainMemberName("."));
    EXPECT_FALSE(IsPlainMemberName(".."));
    EXPECT_FALSE(IsPlainMemberName("..."));
    EXPECT_FALSE(IsPlainMemberName(" "));
    EXPECT_FALSE(IsPlainMemberName(".. "));
    EXPECT_FALSE(IsPlainMemberName("..\\x"));
    EXPECT_FALSE(IsPlainMemberName("../x"));
    EXPECT_FALSE(IsPlainMemberName("sub\\x"));
    EXPECT_FALSE(IsPlainMemberName("\\x"));
    EXPECT_FALSE(IsPlainMemberName("C:x"));
    EXPECT_FALSE(IsPlainMemberName("x:stream"));
}

}  // namespace
