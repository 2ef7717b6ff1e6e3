// The table engine's changes: one change as its own transaction or inside
// the batch, the index entries that go with a record, and batches.
#include "TCtreeTableImpl.h"
#include "platform/JxCoding.h"

using namespace tctree;

// Runs one change: inside the batch, or as its own transaction that is
// retried after growing the map.
template <class Body>
int TCtreeTable::Impl::withWrite(Body&& body) {
    if (!env) return kNotOpen;
    if (readOnly) return kReadOnly;
    if (batchDepth > 0) {
        if (batchFailed) return kBatchRolledBack;
        active = btxn;
        size_t seen = env->mapSize;
        int rc = body(btxn);
        if (!poisonsTransaction(rc)) return rc;
        rollbackBatch();
        if (rc == MDB_MAP_FULL) {
            grow(seen);
            return kBatchRolledBack;
        }
        return rc;
    }
    for (int attempt = 0; attempt < 64; ++attempt) {
        env->resize.lock_shared();
        size_t seen = env->mapSize;
        int rc = mdb_txn_begin(env->env, nullptr, 0, &wtxn);
        if (rc == MDB_MAP_RESIZED) {
            env->resize.unlock_shared();
            adoptMapSize();
            continue;
        }
        if (rc) {
            env->resize.unlock_shared();
            return fromMdb(rc);
        }
        active = wtxn;
        rc = body(wtxn);
        closeCursors(wcur);
        if (rc == kOk) {
            rc = fromMdb(mdb_txn_commit(wtxn));
            if (rc == kOk) noteCommit(env);
        } else {
            mdb_txn_abort(wtxn);
        }
        wtxn = nullptr;
        active = nullptr;
        env->resize.unlock_shared();
        if (rc != MDB_MAP_FULL) return rc;
        if (int g = grow(seen)) return g;
    }
    return MDB_MAP_FULL;
}

void TCtreeTable::Impl::rollbackBatch() {
    if (!btxn) return;
    closeCursors(bcur);
    mdb_txn_abort(btxn);
    btxn = nullptr;
    active = nullptr;
    batchFailed = true;
    env->resize.unlock_shared();
}

int TCtreeTable::Impl::keyTaken(int i, const uint8_t* key) {
    MDB_cursor* c;
    if (int rc = cursorFor(i, &c)) return rc;
    const Index& ix = indices[i];
    std::memcpy(probe.data(), key, ix.keyLength);
    std::memset(probe.data() + ix.keyLength, 0, kRecnoLen);
    MDB_val k;
    int rc = move(c, Move::AtOrAfter, probe.data(), ix.keyLength + kRecnoLen, &k);
    if (rc == kNoRecord) return kOk;
    if (rc) return rc;
    return std::memcmp(k.mv_data, key, ix.keyLength) == 0 ? kDuplicateKey : kOk;
}

int TCtreeTable::Impl::putEntry(MDB_txn* t, int i, const uint8_t* key, uint64_t recno) {
    const Index& ix = indices[i];
    std::memcpy(probe.data(), key, ix.keyLength);
    jx::storeBE64(probe.data() + ix.keyLength, recno);
    MDB_val k{ix.keyLength + kRecnoLen, probe.data()}, d{0, nullptr};
    return fromMdb(mdb_put(t, ix.dbi, &k, &d, 0));
}

int TCtreeTable::Impl::delEntry(MDB_txn* t, int i, const uint8_t* key, uint64_t recno) {
    const Index& ix = indices[i];
    std::memcpy(probe.data(), key, ix.keyLength);
    jx::storeBE64(probe.data() + ix.keyLength, recno);
    MDB_val k{ix.keyLength + kRecnoLen, probe.data()};
    int rc = fromMdb(mdb_del(t, ix.dbi, &k, nullptr));
    return rc == kNoRecord ? kOk : rc;  // a missing entry is nothing to undo
}

int TCtreeTable::Impl::putRecord(MDB_txn* t, uint64_t* recno, const uint8_t* data, size_t len) {
    uint8_t kb[kRecnoLen];
    MDB_val d{len, const_cast<uint8_t*>(data)};
    for (int attempt = 0; attempt < 2; ++attempt) {
        jx::storeBE64(kb, env->nextRecno);
        MDB_val k{kRecnoLen, kb};
        int rc = mdb_put(t, recordsDbi, &k, &d, MDB_APPEND);
        if (rc == 0) {
            *recno = env->nextRecno++;
            return kOk;
        }
        if (rc != MDB_KEYEXIST) return fromMdb(rc);
        // Another process appended since: continue after its last record.
        MDB_cursor* c;
        if ((rc = cursorFor(kFileOrder, &c))) return rc;
        MDB_val lk, ld;
        if ((rc = mdb_cursor_get(c, &lk, &ld, MDB_LAST))) return fromMdb(rc);
        env->nextRecno = jx::loadBE64(static_cast<const uint8_t*>(lk.mv_data)) + 1;
    }
    return kCorruptRecord;
}

// Reads the stored record `recno` into oldFull (full length).
int TCtreeTable::Impl::loadOld(MDB_txn* t, uint64_t recno) {
    uint8_t kb[kRecnoLen];
    jx::storeBE64(kb, recno);
    MDB_val k{kRecnoLen, kb}, d;
    int rc = mdb_get(t, recordsDbi, &k, &d);
    if (rc == MDB_NOTFOUND) return kNoCurrentRecord;
    if (rc) return fromMdb(rc);
    return expand(d, oldFull.data());
}

int TCtreeTable::Impl::addRecord(const void* record) {
    if (!record) return kBadArgument;
    const uint8_t* rec = static_cast<const uint8_t*>(record);
    const uint8_t* data;
    size_t len = storedForm(rec, &data);
    allKeys(rec, keys);
    uint64_t recno = 0;
    int rc = withWrite([&](MDB_txn* t) {
        for (size_t i = 0; i < indices.size(); ++i) {
            if (indices[i].duplicates) continue;
            if (int r = keyTaken(static_cast<int>(i), keys.data() + keyOffset[i])) return r;
        }
        if (int r = putRecord(t, &recno, data, len)) return r;
        for (size_t i = 0; i < indices.size(); ++i)
            if (int r = putEntry(t, static_cast<int>(i), keys.data() + keyOffset[i], recno))
                return r;
        return static_cast<int>(kOk);
    });
    if (rc == kOk) {
        cur.hasPosition = cur.hasCurrent = true;
        cur.recno = recno;
        cur.posIndex = kFileOrder;
        cur.posKey.resize(kRecnoLen);
        jx::storeBE64(cur.posKey.data(), recno);
        cur.rec.assign(data, data + len);
    }
    return rc;
}

int TCtreeTable::Impl::modifyRecord(const void* record) {
    if (!record) return kBadArgument;
    if (!cur.hasCurrent) return kNoCurrentRecord;
    const uint8_t* rec = static_cast<const uint8_t*>(record);
    const uint8_t* data;
    size_t len = storedForm(rec, &data);
    allKeys(rec, keys);
    const uint64_t recno = cur.recno;
    int rc = withWrite([&](MDB_txn* t) {
        if (int r = loadOld(t, recno)) return r;
        allKeys(oldFull.data(), oldKeys);
        auto changed = [&](size_t i) {
            return std::memcmp(keys.data() + keyOffset[i], oldKeys.data() + keyOffset[i],
                               indices[i].keyLength) != 0;
        };
        for (size_t i = 0; i < indices.size(); ++i) {
            if (indices[i].duplicates || !changed(i)) continue;
            if (int r = keyTaken(static_cast<int>(i), keys.data() + keyOffset[i])) return r;
        }
        for (size_t i = 0; i < indices.size(); ++i) {
            if (!changed(i)) continue;
            int ii = static_cast<int>(i);
            if (int r = delEntry(t, ii, oldKeys.data() + keyOffset[i], recno)) return r;
            if (int r = putEntry(t, ii, keys.data() + keyOffset[i], recno)) return r;
        }
        uint8_t kb[kRecnoLen];
        jx::storeBE64(kb, recno);
        MDB_val k{kRecnoLen, kb}, d{len, const_cast<uint8_t*>(data)};
        return fromMdb(mdb_put(t, recordsDbi, &k, &d, 0));
    });
    if (rc == kOk) cur.rec.assign(data, data + len);
    return rc;
}

int TCtreeTable::Impl::deleteRecord() {
    if (!cur.hasCurrent) return kNoCurrentRecord;
    const uint64_t recno = cur.recno;
    int rc = withWrite([&](MDB_txn* t) {
        if (int r = loadOld(t, recno)) return r;
        allKeys(oldFull.data(), oldKeys);
        for (size_t i = 0; i < indices.size(); ++i)
            if (int r = delEntry(t, static_cast<int>(i), oldKeys.data() + keyOffset[i], recno))
                return r;
        uint8_t kb[kRecnoLen];
        jx::storeBE64(kb, recno);
        MDB_val k{kRecnoLen, kb};
        return fromMdb(mdb_del(t, recordsDbi, &k, nullptr));
    });
    if (rc == kOk) cur.hasCurrent = false;  // the position stays for next/previous
    return rc;
}

// ---------------------------------------------------------------------------

int TCtreeTable::addRecord(const void* record) {
    if (!impl_->env) return impl_->result(kNotOpen);
    return impl_->result(impl_->addRecord(record));
}

int TCtreeTable::modifyRecord(const void* record) {
    if (!impl_->env) return impl_->result(kNotOpen);
    return impl_->result(impl_->modifyRecord(record));
}

int TCtreeTable::deleteRecord() {
    if (!impl_->env) return impl_->result(kNotOpen);
    return impl_->result(impl_->deleteRecord());
}

int TCtreeTable::beginBatch(size_t expectedBytes) {
    Impl& m = *impl_;
    if (!m.env) return m.result(kNotOpen);
    if (m.readOnly) return m.result(kReadOnly);
    if (m.batchDepth > 0) {
        ++m.batchDepth;
        return m.result(m.batchFailed ? kBatchRolledBack : kOk);
    }
    // Without the headroom the batch may still fit; a map that fills up rolls
    // it back cleanly.
    m.ensureHeadroom(expectedBytes);
    for (int attempt = 0; attempt < 8; ++attempt) {
        m.env->resize.lock_shared();
        int rc = mdb_txn_begin(m.env->env, nullptr, 0, &m.btxn);
        if (rc == 0) {
            m.batchDepth = 1;
            m.batchFailed = false;
            return m.result(kOk);
        }
        m.btxn = nullptr;
        m.env->resize.unlock_shared();
        if (rc != MDB_MAP_RESIZED) return m.result(fromMdb(rc));
        m.adoptMapSize();
    }
    return m.result(fromMdb(MDB_MAP_RESIZED));
}

int TCtreeTable::commitBatch() {
    Impl& m = *impl_;
    if (m.batchDepth == 0) return m.result(kNoBatch);
    if (--m.batchDepth > 0) return m.result(m.batchFailed ? kBatchRolledBack : kOk);
    if (m.batchFailed) {
        m.batchFailed = false;
        return m.result(kBatchRolledBack);
    }
    m.closeCursors(m.bcur);
    size_t seen = m.env->mapSize;
    int rc = fromMdb(mdb_txn_commit(m.btxn));
    m.btxn = nullptr;
    m.active = nullptr;
    m.env->resize.unlock_shared();
    if (rc == kOk) noteCommit(m.env);
    if (rc == MDB_MAP_FULL) {
        m.grow(seen);
        rc = kBatchRolledBack;
    }
    return m.result(rc);
}

void TCtreeTable::abortBatch() {
    Impl& m = *impl_;
    if (m.batchDepth == 0) return;
    m.rollbackBatch();
    if (--m.batchDepth == 0) m.batchFailed = false;
}

bool TCtreeTable::inBatch() const {
    return impl_->batchDepth > 0;
}

TCtreeTable::BatchScope::BatchScope(TCtreeTable& table, size_t expectedBytes, Flush flush)
    : table_(table), begin_(table.beginBatch(expectedBytes)), open_(begin_ == kOk), flush_(flush) {}

TCtreeTable::BatchScope::~BatchScope() {
    if (open_) table_.abortBatch();
}

int TCtreeTable::BatchScope::commit() {
    if (!open_) return begin_ ? begin_ : kNoBatch;
    open_ = false;
    int rc = table_.commitBatch();
    // A nested scope's commit commits nothing yet: the outermost one flushes.
    if (rc == kOk && flush_ == Flush::AtEnd && !table_.inBatch()) rc = table_.sync();
    return rc;
}
