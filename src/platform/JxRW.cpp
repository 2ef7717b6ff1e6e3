#include "JxRW.h"

// Writer preference: once a writer waits, new readers queue behind it, so a
// steady stream of readers cannot starve writers. Not re-entrant: a reader
// taking a second read lock while a writer waits would deadlock.

void JxSplitRW::readLock() {
    JxMonitorLock lk(mon_);
    while (writer_ || writersWaiting_ > 0) mon_.wait();
    ++readers_;
}

void JxSplitRW::readUnlock() {
    JxMonitorLock lk(mon_);
    if (--readers_ == 0 && writersWaiting_ > 0) mon_.broadcast();
}

void JxSplitRW::writeLock() {
    JxMonitorLock lk(mon_);
    ++writersWaiting_;
    while (writer_ || readers_ > 0) mon_.wait();
    --writersWaiting_;
    writer_ = true;
}

void JxSplitRW::writeUnlock() {
    JxMonitorLock lk(mon_);
    writer_ = false;
    mon_.broadcast();
}

bool JxSplitRW::writerWaiting() {
    JxMonitorLock lk(mon_);
    return writersWaiting_ > 0;
}
