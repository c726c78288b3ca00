#include "engine/WaitDeadline.h"

#include <gtest/gtest.h>

TEST (WaitDeadline, aWaitAcrossTheWrapOfTheMillisecondCounterLastsItsFullLength)
{
    // The 32-bit counter wraps about every 49.7 days; a deadline computed as start + length
    // would lie below the start and end the wait at once.
    const juce::uint32 start = 0xffffff00u;
    const WaitDeadline deadline (1000, start);

    EXPECT_EQ (deadline.remainingAt (start), 1000u);
    EXPECT_EQ (deadline.remainingAt (start + 16), 984u);
    EXPECT_EQ (deadline.remainingAt (0x10u), 728u);      // 272 ms after the start, past the wrap
    EXPECT_EQ (deadline.remainingAt (start + 999), 1u);
    EXPECT_EQ (deadline.remainingAt (start + 1000), 0u);
    EXPECT_EQ (deadline.remainingAt (start + 5000), 0u);
}

TEST (WaitDeadline, aZeroLengthHasPassedAtOnceAndAFreshDeadlineCountsFromNow)
{
    EXPECT_EQ (WaitDeadline (0, 1234).remainingAt (1234), 0u);

    const WaitDeadline fresh (60000);
    EXPECT_GT (fresh.remaining(), 59000u);
    EXPECT_LE (fresh.remaining(), 60000u);
}
