#include "service/FlrLocalTail.h"

#include <gtest/gtest.h>

#include <memory>

#include "link/SdtNetLink.h"
#include "net/FlrNetHead.h"
#include "support/TestSupport.h"

namespace {

struct LocalTailSetup {
    flrtest::ScopedRegistry registry;
    flrtest::TempDir dir;
    FlrLocalTail tail{dir.file("dst"), FlrTailApplier::Options{}};
};

// Head and tail share the process: frames are authenticated, not sealed, on
// the first connection and on every further one a transfer opens (planner,
// streams, LBFS blocks), and they still carry requests both ways.
TEST(FlrLocalTail, ConnectionsAreAuthenticatedButNotSealed) {
    LocalTailSetup s;
    FlrNetHead head;
    s.tail.connect(head);
    EXPECT_TRUE(head.getLink().isIntegrityOnly());
    std::unique_ptr<FlrNetHead> extra(head.dup());
    EXPECT_TRUE(extra->getLink().isIntegrityOnly());
    extra->ping();
    head.ping();
    EXPECT_EQ(s.tail.applier().totals().refused, 0);
}

}  // namespace
