// The invariant checks are on in the test builds: a broken invariant stops the process with
// the condition and its place, instead of a map probing a full table for ever.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/support/check.h"
#include "host/support/idmap.h"

namespace wuna {

namespace {

TEST(CheckDeathTest, AFalseConditionStopsTheProcessNamingIt) {
    int slots = 3;
    EXPECT_DEATH(WUNA_CHECK(slots % 2 == 0),
                 "wuna: check failed at .*check_test.cpp:[0-9]+: slots % 2 == 0");
    WUNA_CHECK(slots == 3);  // a true one does nothing
}

TEST(CheckDeathTest, AMapWhoseSlotsAreAllUsedIsStoppedBeforeProbing) {
    // Every slot taken by another key: a lookup would probe round the table for ever.
    idmap::IdMap<int> map;
    static int keys[4];
    map.slots = static_cast<idmap::IdMap<int>::Slot*>(calloc(4, sizeof(idmap::IdMap<int>::Slot)));
    ASSERT_NE(map.slots, nullptr);
    map.capacity = 4;
    for (int i = 0; i < 4; i++) map.slots[i] = {&keys[i], i};
    map.used = 4;
    int other = 0;
    EXPECT_DEATH((void)map.find(&other), "check failed");
    map.clear();
}

}  // namespace

}  // namespace wuna
