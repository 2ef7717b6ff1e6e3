#pragma once
#include "FLR/FlrSnapMgr.h"

// Takes the manager's mutex; the outermost hold of the thread refreshes the
// volume cache, nested holds reuse it.
class FlrSnapMgr::Hold {
  public:
    explicit Hold(FlrSnapMgr& m) : m_(m) {
        m_.mutex_.lock(-1);
        if (++m_.holds_ == 1) {
            try {
                m_.lvs_ = FlrSnapOS::getLVList();
            } catch (...) {
                release();
                throw;
            }
        }
    }
    ~Hold() { release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

  private:
    void release() {
        if (done_) return;
        done_ = true;
        --m_.holds_;
        m_.mutex_.unlock();
    }
    FlrSnapMgr& m_;
    bool done_ = false;
};
