// Dumps running at the same time share one disk: each checks the free space
// against what the others still have to write.
#include <gtest/gtest.h>

#include "sahara.h"

TEST(space_claim, counts_what_other_dumps_still_need)
{
	sahara_space_claim a, b, c;
	uint64_t others = 0;

	ASSERT_TRUE(a.claim(600, 1000, &others));
	EXPECT_EQ(others, 0u);
	// 1000 free, but 600 of it is a's.
	EXPECT_FALSE(b.claim(500, 1000, &others));
	EXPECT_EQ(others, 600u);
	// a wrote 200 of its 600: the disk shows it, and a's claim shrinks.
	a.used(200);
	ASSERT_TRUE(b.claim(400, 800, &others));
	EXPECT_EQ(others, 400u);
	// Free space below what the others claimed is no room at all.
	EXPECT_FALSE(c.claim(1, 700, &others));
	EXPECT_EQ(others, 800u);
	// More written than claimed leaves nothing claimed, not a wrap-around.
	a.used(10000);
	b.release();
	ASSERT_TRUE(c.claim(700, 700, &others));
	EXPECT_EQ(others, 0u);
}

TEST(space_claim, ends_with_its_dump)
{
	uint64_t others = 0;
	{
		sahara_space_claim a;
		ASSERT_TRUE(a.claim(900, 1000, &others));
	}
	sahara_space_claim b;
	EXPECT_TRUE(b.claim(900, 1000, &others));
	EXPECT_EQ(others, 0u);
}
