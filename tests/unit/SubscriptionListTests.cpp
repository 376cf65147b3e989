#include <gtest/gtest.h>

#include "gateway/SiPassNodeList.h"

TEST(SubscriptionList, HoldsEachTripleOnce) {
    SiPassNodeList list;
    list.add(7, 1203, 3);
    list.add(7, 1203, 3);
    list.add(7, 1203, 5);
    EXPECT_TRUE(list.contains(7, 1203, 3));
    EXPECT_TRUE(list.contains(7, 1203, 5));
    EXPECT_FALSE(list.contains(7, 1203, 4));
    EXPECT_FALSE(list.contains(6, 1203, 3)) << "the same id under another object type";
    EXPECT_EQ(4u, list.nodeCount());  // one type, one object, two states
}

TEST(SubscriptionList, ContainsNeverInserts) {
    SiPassNodeList list;
    list.add(7, 1, 3);
    const size_t before = list.nodeCount();
    EXPECT_FALSE(list.contains(99, 1, 3));
    EXPECT_FALSE(list.contains(7, 99, 3));
    EXPECT_FALSE(list.contains(7, 1, 99));
    EXPECT_EQ(before, list.nodeCount());
}

TEST(SubscriptionList, OrdersNegativeKeysLikeAnyOther) {
    SiPassNodeList list;
    list.add(-1, -2147483647 - 1, -5);
    EXPECT_TRUE(list.contains(-1, -2147483647 - 1, -5));
    EXPECT_FALSE(list.contains(-1, 2147483647, -5));
}
