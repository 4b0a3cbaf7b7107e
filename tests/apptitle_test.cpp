#include "apptitle.h"

#include <gtest/gtest.h>

TEST(ApplicationTitle, CutsAtFirstDotAndLowersAllButFirst) {
    EXPECT_EQ(applicationTitleFor("/usr/lib/cuedeck/cuedeck"), "cuedeck");
    EXPECT_EQ(applicationTitleFor("/opt/CueDeck.Beta.exe"), "Cuedeck");
    EXPECT_EQ(applicationTitleFor("cUEDECK.exe"), "cuedeck");
    EXPECT_EQ(applicationTitleFor("/a.b/X"), "X");
    EXPECT_EQ(applicationTitleFor(".hidden"), "");
    EXPECT_EQ(applicationTitleFor("/x/ÄBC"), "Äbc");
}
