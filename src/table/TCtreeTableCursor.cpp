// The table engine's reads: the read transaction renewed for each read,
// one cursor per index, positioning, and stepping from the current record.
#include "TCtreeTableImpl.h"
#include "platform/JxCoding.h"

using namespace tctree;

void TCtreeTable::Impl::closeCursors(std::vector<MDB_cursor*>& cs) {
    for (MDB_cursor*& c : cs) {
        if (c) mdb_cursor_close(c);
        c = nullptr;
    }
}

void TCtreeTable::Impl::dropReadTxn() {
    closeCursors(rcur);
    if (rtxn) mdb_txn_abort(rtxn);
    rtxn = nullptr;
}

// Starts the read of one operation: through the batch when one is open,
// else through the renewed read transaction under the shared lock.
int TCtreeTable::Impl::beginRead(bool* locked) {
    *locked = false;
    if (batchDepth > 0) {
        if (batchFailed) return kBatchRolledBack;
        active = btxn;
        return kOk;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        env->resize.lock_shared();
        int rc = rtxn ? mdb_txn_renew(rtxn) : mdb_txn_begin(env->env, nullptr, MDB_RDONLY, &rtxn);
        if (rc == 0) {
            renewed = 0;
            active = rtxn;
            *locked = true;
            return kOk;
        }
        dropReadTxn();  // a failed renew leaves the handle unusable
        env->resize.unlock_shared();
        if (rc != MDB_MAP_RESIZED) return fromMdb(rc);
        adoptMapSize();
    }
    return fromMdb(MDB_MAP_RESIZED);
}

void TCtreeTable::Impl::endRead(bool locked) {
    if (!locked) return;
    mdb_txn_reset(rtxn);
    active = nullptr;
    env->resize.unlock_shared();
}

int TCtreeTable::Impl::cursorFor(int index, MDB_cursor** out) {
    int slot = slotOf(index);
    if (active == rtxn && rtxn) {
        MDB_cursor*& c = rcur[slot];
        int rc = 0;
        if (!c) {
            rc = mdb_cursor_open(rtxn, dbiOf(index), &c);
        } else if (!(renewed & (uint64_t(1) << slot))) {
            rc = mdb_cursor_renew(rtxn, c);
        }
        if (rc) return fromMdb(rc);
        renewed |= uint64_t(1) << slot;
        *out = c;
        return kOk;
    }
    std::vector<MDB_cursor*>& cs = active == btxn ? bcur : wcur;
    if (!cs[slot]) {
        int rc = mdb_cursor_open(active, dbiOf(index), &cs[slot]);
        if (rc) return fromMdb(rc);
    }
    *out = cs[slot];
    return kOk;
}

// Makes the record behind index entry `k` current and copies it out.
int TCtreeTable::Impl::loadAt(int index, const MDB_val& k, void* out) {
    if (k.mv_size < kRecnoLen) return kCorruptRecord;
    const uint8_t* recnoBytes = static_cast<const uint8_t*>(k.mv_data) + k.mv_size - kRecnoLen;
    MDB_val rk{kRecnoLen, const_cast<uint8_t*>(recnoBytes)}, d;
    int rc = mdb_get(active, recordsDbi, &rk, &d);
    if (rc) return rc == MDB_NOTFOUND ? kCorruptRecord : fromMdb(rc);
    if (out && (rc = expand(d, out))) return rc;
    cur.hasPosition = cur.hasCurrent = true;
    cur.recno = jx::loadBE64(recnoBytes);
    cur.posIndex = index;
    const uint8_t* kb = static_cast<const uint8_t*>(k.mv_data);
    cur.posKey.assign(kb, kb + k.mv_size);
    const uint8_t* db = static_cast<const uint8_t*>(d.mv_data);
    cur.rec.assign(db, db + d.mv_size);
    return kOk;
}

int TCtreeTable::Impl::move(MDB_cursor* c, Move how, const uint8_t* p, size_t n, MDB_val* k) {
    MDB_val d;
    int rc = MDB_NOTFOUND;
    switch (how) {
        case Move::First:
            rc = mdb_cursor_get(c, k, &d, MDB_FIRST);
            break;
        case Move::Last:
            rc = mdb_cursor_get(c, k, &d, MDB_LAST);
            break;
        case Move::AtOrAfter:
            *k = MDB_val{n, const_cast<uint8_t*>(p)};
            rc = n ? mdb_cursor_get(c, k, &d, MDB_SET_RANGE) : mdb_cursor_get(c, k, &d, MDB_FIRST);
            break;
        case Move::After:
            *k = MDB_val{n, const_cast<uint8_t*>(p)};
            rc = mdb_cursor_get(c, k, &d, MDB_SET_RANGE);
            if (rc == 0 && k->mv_size == n && std::memcmp(k->mv_data, p, n) == 0)
                rc = mdb_cursor_get(c, k, &d, MDB_NEXT);
            break;
        case Move::Before:
            *k = MDB_val{n, const_cast<uint8_t*>(p)};
            rc = mdb_cursor_get(c, k, &d, MDB_SET_RANGE);
            if (rc == 0)
                rc = mdb_cursor_get(c, k, &d, MDB_PREV);
            else if (rc == MDB_NOTFOUND)
                rc = mdb_cursor_get(c, k, &d, MDB_LAST);
            break;
    }
    return fromMdb(rc);
}

// One positioning read; with prefixLen the found key must begin with prefix.
int TCtreeTable::Impl::readAt(int index, Move how, const uint8_t* p, size_t n, void* out,
                              const uint8_t* prefix, size_t prefixLen) {
    if (!env) return kNotOpen;
    ReadScope scope(*this);
    if (scope.rc) return scope.rc;
    MDB_cursor* c;
    if (int rc = cursorFor(index, &c)) return rc;
    MDB_val k;
    if (int rc = move(c, how, p, n, &k)) return rc;
    if (prefixLen && (k.mv_size < prefixLen || std::memcmp(k.mv_data, prefix, prefixLen) != 0))
        return kNoRecord;
    int rc = loadAt(index, k, out);
    return rc;
}

int TCtreeTable::Impl::keyedRead(int index, const void* key, void* out, Move how, uint8_t fill,
                                 bool exact) {
    if (!validIndex(index, false) || !key || !out) return kBadArgument;
    const Index& ix = indices[index];
    std::memcpy(probe.data(), key, ix.keyLength);
    std::memset(probe.data() + ix.keyLength, fill, kRecnoLen);
    return readAt(index, how, probe.data(), ix.keyLength + kRecnoLen, out,
                  exact ? static_cast<const uint8_t*>(key) : nullptr, exact ? ix.keyLength : 0);
}

// The full stored key of the current position in `index`.
int TCtreeTable::Impl::positionIn(int index, size_t* n) {
    if (!cur.hasPosition) return kNoCurrentRecord;
    if (index == cur.posIndex) {
        std::memcpy(probe.data(), cur.posKey.data(), cur.posKey.size());
        *n = cur.posKey.size();
        return kOk;
    }
    size_t klen = 0;
    if (index != kFileOrder) {
        std::memcpy(full.data(), cur.rec.data(), cur.rec.size());
        std::memset(full.data() + cur.rec.size(), 0, recLen - cur.rec.size());
        keyOf(index, full.data(), probe.data());
        klen = indices[index].keyLength;
    }
    jx::storeBE64(probe.data() + klen, cur.recno);
    *n = klen + kRecnoLen;
    return kOk;
}

int TCtreeTable::Impl::step(int index, Move how, void* out, bool inSet) {
    if (!validIndex(index, true) || !out) return kBadArgument;
    if (inSet && cur.setIndex != index) return kNoCurrentRecord;
    size_t n;
    if (int rc = positionIn(index, &n)) return rc;
    return readAt(index, how, probe.data(), n, out, inSet ? cur.setPrefix.data() : nullptr,
                  inSet ? cur.setPrefix.size() : 0);
}

int TCtreeTable::Impl::setRead(int index, const void* key, void* out, int prefixLength,
                               bool fromEnd) {
    if (!validIndex(index, false) || !key || !out) return kBadArgument;
    const Index& ix = indices[index];
    if (prefixLength < 0 || prefixLength > ix.keyLength) return kBadArgument;
    const uint8_t* kb = static_cast<const uint8_t*>(key);
    std::vector<uint8_t> prefix(kb, kb + prefixLength);
    int rc;
    if (!fromEnd) {
        rc = readAt(index, Move::AtOrAfter, kb, prefixLength, out, kb, prefixLength);
    } else if (prefixLength == 0) {
        rc = readAt(index, Move::Last, nullptr, 0, out);
    } else {
        size_t n = ix.keyLength + kRecnoLen;
        std::memcpy(probe.data(), kb, prefixLength);
        std::memset(probe.data() + prefixLength, 0xFF, n - prefixLength);
        rc = readAt(index, Move::Before, probe.data(), n, out, kb, prefixLength);
    }
    if (rc == kOk) {
        cur.setIndex = index;
        cur.setPrefix = std::move(prefix);
    }
    return rc;
}

// ---------------------------------------------------------------------------

int TCtreeTable::getRecord(int index, const void* key, void* record) {
    return impl_->result(impl_->keyedRead(index, key, record, Move::AtOrAfter, 0x00, true));
}

int TCtreeTable::getGTERecord(int index, const void* key, void* record) {
    return impl_->result(impl_->keyedRead(index, key, record, Move::AtOrAfter, 0x00, false));
}

int TCtreeTable::getGTRecord(int index, const void* key, void* record) {
    return impl_->result(impl_->keyedRead(index, key, record, Move::AtOrAfter, 0xFF, false));
}

int TCtreeTable::getLTERecord(int index, const void* key, void* record) {
    return impl_->result(impl_->keyedRead(index, key, record, Move::Before, 0xFF, false));
}

int TCtreeTable::getLTRecord(int index, const void* key, void* record) {
    return impl_->result(impl_->keyedRead(index, key, record, Move::Before, 0x00, false));
}

int TCtreeTable::firstRecord(int index, void* record) {
    Impl& m = *impl_;
    if (!m.validIndex(index, true) || !record) return m.result(kBadArgument);
    return m.result(m.readAt(index, Move::First, nullptr, 0, record));
}

int TCtreeTable::lastRecord(int index, void* record) {
    Impl& m = *impl_;
    if (!m.validIndex(index, true) || !record) return m.result(kBadArgument);
    return m.result(m.readAt(index, Move::Last, nullptr, 0, record));
}

int TCtreeTable::nextRecord(int index, void* record) {
    return impl_->result(impl_->step(index, Move::After, record, false));
}

int TCtreeTable::previousRecord(int index, void* record) {
    return impl_->result(impl_->step(index, Move::Before, record, false));
}

int TCtreeTable::firstInSet(int index, const void* key, void* record, int prefixLength) {
    return impl_->result(impl_->setRead(index, key, record, prefixLength, false));
}

int TCtreeTable::lastInSet(int index, const void* key, void* record, int prefixLength) {
    return impl_->result(impl_->setRead(index, key, record, prefixLength, true));
}

int TCtreeTable::nextInSet(int index, void* record) {
    return impl_->result(impl_->step(index, Move::After, record, true));
}

int TCtreeTable::previousInSet(int index, void* record) {
    return impl_->result(impl_->step(index, Move::Before, record, true));
}

void TCtreeTable::pushContext() {
    impl_->stack.push_back(impl_->cur);
}

void TCtreeTable::popContext() {
    Impl& m = *impl_;
    if (m.stack.empty()) return;
    m.cur = std::move(m.stack.back());
    m.stack.pop_back();
}

int TCtreeTable::getRecordCount(uint64_t* count) {
    Impl& m = *impl_;
    if (!m.env) return m.result(kNotOpen);
    if (!count) return m.result(kBadArgument);
    Impl::ReadScope scope(m);
    if (scope.rc) return m.result(scope.rc);
    MDB_stat st;
    int rc = fromMdb(mdb_stat(m.active, m.recordsDbi, &st));
    if (rc == kOk) *count = st.ms_entries;
    return m.result(rc);
}
