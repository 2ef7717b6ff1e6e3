#include "service/FlrLocalTail.h"

#include <gtest/gtest.h>

#include <memory>

#include "FLR/JxException.h"
#include "net/FlrNetHead.h"
#include "support/TestSupport.h"

namespace {

struct LocalTailSetup {
    flrtest::ScopedRegistry registry;
    flrtest::TempDir dir;
    FlrLocalTail tail{dir.file("dst"), FlrTailApplier::Options{}};
};

// Head and tail share the process: the first connection and every further
// one a transfer opens (planner, streams, LBFS blocks) are in-process
// channels, with no socket to guard, and they carry requests both ways.
TEST(FlrLocalTail, ConnectionsAreInProcessChannels) {
    LocalTailSetup s;
    FlrNetHead head;
    s.tail.connect(head);
    EXPECT_TRUE(head.inProcess());
    std::unique_ptr<FlrNetHead> extra(head.dup());
    EXPECT_TRUE(extra->inProcess());
    extra->ping();
    head.ping();
    EXPECT_EQ(s.tail.applier().totals().refused, 0);
    EXPECT_EQ(2, s.tail.stats().sessions);
}

// Stopping the tail ends its sessions at once, and a head still connected
// is told so instead of waiting for an answer that cannot come.
TEST(FlrLocalTail, StoppingEndsTheSessionsOfConnectedHeads) {
    LocalTailSetup s;
    FlrNetHead head;
    s.tail.connect(head);
    head.ping();
    s.tail.stop();
    EXPECT_EQ(0, s.tail.stats().sessions);
    EXPECT_THROW(head.ping(), JxException);
    FlrNetHead late;
    EXPECT_THROW(s.tail.connect(late), JxException);
}

}  // namespace
