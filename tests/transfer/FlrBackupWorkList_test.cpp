// The bounded list between the planner and the sender: a full list holds
// the planner back, either side's end releases the other, and the planner's
// error reaches the sender only after what was queued before it.
#include "transfer/FlrBackupWorkList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::unique_ptr<FlrBackupItem> itemNamed(const char* src) {
    auto item = std::make_unique<FlrBackupItem>();
    item->src = src;
    return item;
}

// The message of what fn threw, empty when it returned.
template <typename Fn>
std::string thrownBy(Fn fn) {
    try {
        fn();
    } catch (const JxException& e) {
        return e.getFunction() + ": " + e.getMessage();
    }
    return "";
}

}  // namespace

TEST(BackupWorkList, AFullListHoldsThePlannerUntilTheSenderTakesOne) {
    JxSafeFlags abort;
    FlrBackupWorkList list(2, 10, abort);
    list.push(itemNamed("a"), "plan");
    list.push(itemNamed("b"), "plan");
    std::atomic<bool> pushed{false};
    std::thread planner([&] {
        list.push(itemNamed("c"), "plan");
        pushed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(pushed) << "a third item went onto a list of two";
    EXPECT_EQ(list.take("send")->src, "a");
    planner.join();
    EXPECT_TRUE(pushed);
    list.finish(nullptr);
    EXPECT_EQ(list.take("send")->src, "b");
    EXPECT_EQ(list.take("send")->src, "c");
    EXPECT_EQ(list.take("send"), nullptr);
}

TEST(BackupWorkList, StopOrAbortReleasesAPlannerWaitingOnAFullList) {
    for (const bool byAbort : {false, true}) {
        SCOPED_TRACE(byAbort ? "abort flag" : "stop");
        JxSafeFlags abort;
        FlrBackupWorkList list(1, 10, abort);
        list.push(itemNamed("a"), "plan");
        std::string error;
        std::thread planner([&] { error = thrownBy([&] { list.push(itemNamed("b"), "plan"); }); });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (byAbort)
            abort.set(1);
        else
            list.stop();
        planner.join();
        EXPECT_EQ(error, "plan: Aborted");
        EXPECT_EQ(thrownBy([&] { list.check("plan"); }), "plan: Aborted");
        // The sender sees an abort, not a stop (its own doing).
        EXPECT_EQ(thrownBy([&] { list.take("send"); }), byAbort ? "send: Aborted" : "");
    }
}

TEST(BackupWorkList, ThePlannersErrorComesAfterWhatItQueuedAndResetForgetsIt) {
    JxSafeFlags abort;
    FlrBackupWorkList list(4, 10, abort);
    list.push(itemNamed("a"), "plan");
    std::thread planner([&] {
        list.finish(std::make_unique<JxException>("plan", "tail went away", "test", 0, -1));
    });
    planner.join();
    EXPECT_EQ(list.take("send")->src, "a");
    EXPECT_EQ(thrownBy([&] { list.take("send"); }), "plan: tail went away");
    list.reset();
    list.push(itemNamed("b"), "plan");
    list.finish(nullptr);
    EXPECT_EQ(list.take("send")->src, "b");
    EXPECT_EQ(list.take("send"), nullptr);
}
