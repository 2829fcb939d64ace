#include "store/PendingRecording.h"

#include "support/TemporaryXdg.h"

#include <gtest/gtest.h>

TEST(PendingRecordingSmoke, RootFollowsXdgDataHome)
{
    TemporaryXdg xdg;
    EXPECT_EQ(PendingRecording::root(), xdg.dataHome() + "/Tallisen/PendingRecordings");
}
