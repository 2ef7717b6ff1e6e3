// The indexed table engine on LMDB. See the header for the storage layout and
// the transaction rules; this file is the only place that talks to LMDB for
// the databases.
#include "FLR/platform/TCtreeTable.h"

#include <fcntl.h>
#include <lmdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "FLR/platform/JxException.h"

namespace {

constexpr size_t kRecnoLen = 8;
// LMDB's compiled-in key limit is 511 bytes; the record number takes 8.
constexpr int kMaxKeyLen = 511 - static_cast<int>(kRecnoLen);
constexpr size_t kDefaultMapSize = size_t(4) << 20;
constexpr size_t kSmallFileLimit = (size_t(2) << 30) - 4096;
constexpr unsigned kMaxDbs = 32;
constexpr unsigned kMaxReaders = 510;
constexpr int kMaxIndices = kMaxDbs - 2;
constexpr const char* kRecordsDb = "records";
constexpr const char* kMetaDb = "meta";

std::atomic<size_t> gInitialMapSize{kDefaultMapSize};

int fromMdb(int rc) {
    if (rc == 0) return TCtreeTable::kOk;
    if (rc == MDB_NOTFOUND) return TCtreeTable::kNoRecord;
    if (rc > 0) return TCtreeTable::kSystemErrorBase + rc;
    return rc;
}

// Failures after which an LMDB write transaction may not go on.
bool poisonsTransaction(int rc) {
    return rc < 0 || rc >= TCtreeTable::kSystemErrorBase;
}

void putBE(uint8_t* out, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}

uint64_t getBE(const uint8_t* p, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
    return v;
}

int integerWidth(int type) {
    switch (type) {
        case TCtreeTable::kTypeUInt64:
            return 8;
        case TCtreeTable::kTypeUInt32:
            return 4;
        case TCtreeTable::kTypeUInt16:
            return 2;
        case TCtreeTable::kTypeUInt8:
            return 1;
        default:
            return 0;
    }
}

uint64_t loadNative(const void* p, int width) {
    switch (width) {
        case 8: {
            uint64_t v;
            std::memcpy(&v, p, 8);
            return v;
        }
        case 4: {
            uint32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
        case 2: {
            uint16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        default:
            return *static_cast<const uint8_t*>(p);
    }
}

// One LMDB environment per file and process: LMDB forbids opening a file twice
// in one process, so every table instance of that file shares this.
struct SharedEnv {
    MDB_env* env = nullptr;
    pid_t pid = 0;
    bool readOnly = false;
    size_t pageSize = 4096;
    // Shared while a transaction of this process is live, exclusive while the
    // map is resized (LMDB requires no live transaction then).
    std::shared_mutex resize;
    size_t mapSize = 0;  // changed only under the exclusive lock
    std::mutex setup;    // opening database handles
    std::map<std::string, MDB_dbi> dbis;
    bool recnoKnown = false;
    uint64_t nextRecno = 1;  // touched only inside write transactions

    ~SharedEnv() {
        // After fork() the child must leave the parent's environment alone.
        if (env && pid == getpid()) {
            if (!readOnly) mdb_env_sync(env, 1);
            mdb_env_close(env);
        }
    }
};

std::mutex gRegistryMutex;
std::map<std::string, std::weak_ptr<SharedEnv>>& registry() {
    static auto* r = new std::map<std::string, std::weak_ptr<SharedEnv>>;
    return *r;
}

// Same file, same key, however the path was spelled.
std::string canonicalFile(const std::string& file) {
    size_t slash = file.rfind('/');
    std::string dir = slash == std::string::npos ? "." : file.substr(0, slash ? slash : 1);
    std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    char buf[PATH_MAX];
    if (!realpath(dir.c_str(), buf)) return file;
    std::string out(buf);
    if (out.empty() || out.back() != '/') out += '/';
    return out + name;
}

struct Field {
    std::string name;
    int offset, type, length;
};
struct Segment {
    int field, length, mode;
};
struct Index {
    std::string name;
    int keyLength, keyType;
    bool duplicates;
    int segmentCount, firstSegment;
    MDB_dbi dbi = 0;
};

// Position and current record; what pushContext saves.
struct Context {
    bool hasPosition = false;
    bool hasCurrent = false;
    uint64_t recno = 0;
    int posIndex = TCtreeTable::kFileOrder;
    std::vector<uint8_t> posKey;
    std::vector<uint8_t> rec;  // stored form of the current record
    int setIndex = -2;
    std::vector<uint8_t> setPrefix;
};

enum class Move { First, Last, AtOrAfter, After, Before };

}  // namespace

struct TCtreeTable::Impl {
    TCtreeTable& owner;
    explicit Impl(TCtreeTable& o) : owner(o) {}

    // --- declaration --------------------------------------------------------
    std::string base;
    bool variable = false;
    int declaredFields = 0, declaredIndices = 0, declaredSegments = 0;
    int recLen = 0, fixedLen = 0;
    std::vector<Field> fields;
    std::vector<Index> indices;
    std::vector<Segment> segments;
    int shellOrdered = 0;
    bool declared = false;
    bool hasStrings = false;
    std::string layout;
    int registered[3] = {0, 0, 0};
    int kbIndex = -1, kbNext = 0;  // key being built

    // --- open state ---------------------------------------------------------
    std::shared_ptr<SharedEnv> env;
    pid_t ownerPid = 0;
    bool readOnly = false;
    MDB_dbi recordsDbi = 0, metaDbi = 0;
    MDB_txn* rtxn = nullptr;  // reset between operations, renewed for each
    std::vector<MDB_cursor*> rcur;
    uint64_t renewed = 0;
    MDB_txn* wtxn = nullptr;  // the transaction of one change
    std::vector<MDB_cursor*> wcur;
    MDB_txn* btxn = nullptr;  // the batch transaction
    std::vector<MDB_cursor*> bcur;
    int batchDepth = 0;
    bool batchFailed = false;
    MDB_txn* active = nullptr;  // what the running operation reads through

    Context cur;
    std::vector<Context> stack;
    int last = 0;

    // --- scratch buffers, sized once ----------------------------------------
    std::vector<uint8_t> probe, stored, full, oldFull, keys, oldKeys;
    std::vector<int> keyOffset;

    int result(int rc) { return last = rc; }
    int slotOf(int index) const { return index < 0 ? static_cast<int>(indices.size()) : index; }
    MDB_dbi dbiOf(int index) const { return index < 0 ? recordsDbi : indices[index].dbi; }
    bool validIndex(int index, bool fileOrderOk) const {
        return (fileOrderOk && index == kFileOrder) ||
               (index >= 0 && index < static_cast<int>(indices.size()));
    }

    void resetDeclaration() {
        fields.clear();
        indices.clear();
        segments.clear();
        declared = false;
        shellOrdered = 0;
        hasStrings = false;
    }

    // --- keys and records ---------------------------------------------------
    void encode(const Field& f, const Segment& s, const uint8_t* value, size_t valueMax,
                uint8_t* out) const {
        if (int w = integerWidth(f.type)) {
            putBE(out, loadNative(value, w), w);
        } else if (f.type == kTypeString) {
            size_t n =
                strnlen(reinterpret_cast<const char*>(value), std::min<size_t>(s.length, valueMax));
            std::memcpy(out, value, n);
            std::memset(out + n, 0, s.length - n);
        } else {
            std::memcpy(out, value, s.length);
        }
    }

    // Key bytes of index i from a full record.
    void keyOf(int i, const uint8_t* rec, uint8_t* out) const {
        const Index& ix = indices[i];
        for (int k = 0; k < ix.segmentCount; ++k) {
            const Segment& s = segments[ix.firstSegment + k];
            const Field& f = fields[s.field];
            encode(f, s, rec + f.offset, f.length, out);
            out += s.length;
        }
    }

    // The bytes kept for a record: string fields end at their NUL, and the
    // variable part of a variable table ends at its last meaningful byte.
    size_t storedForm(const uint8_t* rec, const uint8_t** out) {
        if (!hasStrings && !variable) {
            *out = rec;
            return recLen;
        }
        size_t end = variable ? fixedLen : recLen;
        if (variable) {
            for (const Field& f : fields) {
                if (f.offset + f.length <= fixedLen) continue;
                size_t fieldEnd;
                if (f.type == kTypeString) {
                    fieldEnd =
                        f.offset + strnlen(reinterpret_cast<const char*>(rec + f.offset), f.length);
                } else {
                    size_t n = f.length;
                    while (n && rec[f.offset + n - 1] == 0) --n;
                    fieldEnd = f.offset + n;
                }
                end = std::max(end, fieldEnd);
            }
        }
        std::memcpy(stored.data(), rec, end);
        for (const Field& f : fields) {
            if (f.type != kTypeString || static_cast<size_t>(f.offset) >= end) continue;
            size_t limit = std::min<size_t>(f.offset + f.length, end) - f.offset;
            size_t n = strnlen(reinterpret_cast<const char*>(stored.data() + f.offset), limit);
            std::memset(stored.data() + f.offset + n, 0, limit - n);
        }
        *out = stored.data();
        return end;
    }

    int expand(const MDB_val& v, void* out) const {
        if (v.mv_size < static_cast<size_t>(fixedLen) || v.mv_size > static_cast<size_t>(recLen))
            return kCorruptRecord;
        std::memcpy(out, v.mv_data, v.mv_size);
        std::memset(static_cast<uint8_t*>(out) + v.mv_size, 0, recLen - v.mv_size);
        return kOk;
    }

    // --- environment --------------------------------------------------------
    int acquireEnv(bool mustExist, bool ro) {
        std::string file = base + ".dat";
        std::string key = canonicalFile(file);
        std::lock_guard<std::mutex> lk(gRegistryMutex);
        auto it = registry().find(key);
        if (it != registry().end()) {
            if (auto sp = it->second.lock(); sp && sp->pid == getpid()) {
                if (sp->readOnly && !ro) return kReadOnly;
                env = sp;
                return kOk;
            }
        }
        struct stat st;
        bool exists = ::stat(file.c_str(), &st) == 0;
        if (!exists && (mustExist || ro)) return kSystemErrorBase + ENOENT;
        auto sp = std::make_shared<SharedEnv>();
        int rc = mdb_env_create(&sp->env);
        if (rc) return fromMdb(rc);
        sp->pid = getpid();
        sp->readOnly = ro;
        mdb_env_set_maxdbs(sp->env, kMaxDbs);
        mdb_env_set_maxreaders(sp->env, kMaxReaders);
        size_t initial = gInitialMapSize.load();
        if (!exists) mdb_env_set_mapsize(sp->env, initial);
        // Writers change pages in the shared map instead of writing each page
        // with its own system call: several times faster per transaction.
        // The map's file blocks are reserved (reserveMap) so that a full disk
        // is an error code, not a SIGBUS.
        unsigned flags = MDB_NOSUBDIR | MDB_NOSYNC | MDB_NOTLS | (ro ? MDB_RDONLY : MDB_WRITEMAP);
        rc = mdb_env_open(sp->env, file.c_str(), flags, 0664);
        if (rc) {
            mdb_env_close(sp->env);
            sp->env = nullptr;
            return fromMdb(rc);
        }
        int dead = 0;
        mdb_reader_check(sp->env, &dead);  // slots of killed processes
        MDB_envinfo info;
        mdb_env_info(sp->env, &info);
        sp->mapSize = info.me_mapsize;
        if (sp->mapSize < initial && !ro && mdb_env_set_mapsize(sp->env, initial) == 0)
            sp->mapSize = initial;
        if (!ro) {
            if (int err = reserveMap(*sp, 0, sp->mapSize)) return kSystemErrorBase + err;
        }
        MDB_stat est;
        if (mdb_env_stat(sp->env, &est) == 0) sp->pageSize = est.ms_psize;
        registry()[key] = sp;
        env = sp;
        return kOk;
    }

    // Allocates the file blocks behind [from, to) of the map, so writing
    // through the map never meets a hole the file system cannot fill.
    static int reserveMap(SharedEnv& e, size_t from, size_t to) {
        if (e.readOnly || to <= from) return 0;
        mdb_filehandle_t fd;
        if (mdb_env_get_fd(e.env, &fd) != 0) return EBADF;
        int err = posix_fallocate(fd, static_cast<off_t>(from), static_cast<off_t>(to - from));
        return err == EOPNOTSUPP || err == EINVAL ? 0 : err;
    }

    // Sets the map size (under the exclusive lock) and reserves its blocks;
    // when they cannot be had the map stays as it was.
    int resizeMap(size_t target) {
        const size_t old = env->mapSize;
        int rc = mdb_env_set_mapsize(env->env, target);
        if (rc) return fromMdb(rc);
        MDB_envinfo info;
        mdb_env_info(env->env, &info);
        if (int err = reserveMap(*env, old, info.me_mapsize)) {
            owner.debug(0, "Cannot grow %s to %zu bytes: %s", base.c_str(),
                        static_cast<size_t>(info.me_mapsize), jxErrnoText(err).c_str());
            mdb_env_set_mapsize(env->env, old);
            return kSystemErrorBase + err;
        }
        owner.debug(2, "Map of %s grown to %zu bytes", base.c_str(),
                    static_cast<size_t>(info.me_mapsize));
        env->mapSize = info.me_mapsize;
        return kOk;
    }

    // Another process grew the map: take its size.
    int adoptMapSize() {
        std::unique_lock<std::shared_mutex> lk(env->resize);
        int rc = mdb_env_set_mapsize(env->env, 0);
        MDB_envinfo info;
        mdb_env_info(env->env, &info);
        env->mapSize = info.me_mapsize;
        return fromMdb(rc);
    }

    size_t maxMapSize() const { return owner.createHugeFile() ? SIZE_MAX / 2 : kSmallFileLimit; }

    // The map filled up at size `seen`: double it (or step by hugeFileIncr).
    int grow(size_t seen) {
        std::unique_lock<std::shared_mutex> lk(env->resize);
        if (env->mapSize > seen) return kOk;  // another instance already did
        size_t step = std::max<size_t>(env->mapSize, std::max<long>(owner.hugeFileIncr(), 4096));
        size_t target = std::min(env->mapSize + step, maxMapSize());
        if (target <= env->mapSize) return MDB_MAP_FULL;
        return resizeMap(target);
    }

    // Before a batch: room for at least as much again as the file holds, so a
    // large batch rarely has to be rolled back for want of map.
    int ensureHeadroom(size_t expected) {
        std::unique_lock<std::shared_mutex> lk(env->resize);
        MDB_envinfo info;
        mdb_env_info(env->env, &info);
        size_t used = (info.me_last_pgno + 1) * env->pageSize;
        size_t want = used + std::max({used, gInitialMapSize.load() / 2, expected});
        want = std::min(want, maxMapSize());
        if (info.me_mapsize >= want) return kOk;
        size_t target = info.me_mapsize;
        while (target < want) target *= 2;
        target = std::min(target, maxMapSize());
        return resizeMap(target);
    }

    // Opens the named databases and checks (or writes) the table description.
    int setupDatabases(bool createMissing) {
        std::lock_guard<std::mutex> lk(env->setup);
        for (int attempt = 0; attempt < 8; ++attempt) {
            int rc;
            {
                std::shared_lock<std::shared_mutex> rl(env->resize);
                rc = setupInTxn(createMissing);
            }
            if (rc != MDB_MAP_RESIZED) return rc;
            adoptMapSize();
        }
        return fromMdb(MDB_MAP_RESIZED);
    }

    int setupInTxn(bool createMissing) {
        MDB_txn* t = nullptr;
        int rc = mdb_txn_begin(env->env, nullptr, createMissing ? 0 : MDB_RDONLY, &t);
        if (rc == MDB_MAP_RESIZED) return rc;
        if (rc) return fromMdb(rc);
        unsigned flags = createMissing ? MDB_CREATE : 0;
        auto openDb = [&](const std::string& name, MDB_dbi* out) {
            auto found = env->dbis.find(name);
            if (found != env->dbis.end()) {
                *out = found->second;
                return 0;
            }
            int r = mdb_dbi_open(t, name.c_str(), flags, out);
            if (r == 0) env->dbis[name] = *out;
            return r == MDB_NOTFOUND ? static_cast<int>(kTableMismatch) : r;
        };
        rc = openDb(kRecordsDb, &recordsDbi);
        if (!rc) rc = openDb(kMetaDb, &metaDbi);
        for (size_t i = 0; !rc && i < indices.size(); ++i)
            rc = openDb(indices[i].name, &indices[i].dbi);
        if (!rc) rc = checkMeta(t, createMissing);
        if (!rc && !env->recnoKnown) {
            MDB_cursor* c;
            rc = mdb_cursor_open(t, recordsDbi, &c);
            if (!rc) {
                MDB_val k, d;
                int r = mdb_cursor_get(c, &k, &d, MDB_LAST);
                if (r == 0 && k.mv_size == kRecnoLen)
                    env->nextRecno = getBE(static_cast<const uint8_t*>(k.mv_data), 8) + 1;
                else if (r != MDB_NOTFOUND)
                    rc = r ? r : static_cast<int>(kCorruptRecord);
                mdb_cursor_close(c);
                env->recnoKnown = rc == 0;
            }
        }
        if (rc) {
            mdb_txn_abort(t);
            // Handles opened by an aborted transaction are gone again.
            env->dbis.clear();
            return rc == kTableMismatch ? rc : fromMdb(rc);
        }
        return fromMdb(mdb_txn_commit(t));
    }

    int checkMeta(MDB_txn* t, bool mayWrite) {
        const char* type = owner.getTableType();
        std::string reg = std::to_string(registered[0]) + "," + std::to_string(registered[1]) +
                          "," + std::to_string(registered[2]);
        struct Item {
            const char* key;
            std::string value;
        } items[] = {{"table", type ? type : ""}, {"layout", layout}, {"register", reg}};
        for (const Item& item : items) {
            MDB_val k{std::strlen(item.key), const_cast<char*>(item.key)}, d;
            int rc = mdb_get(t, metaDbi, &k, &d);
            if (rc == MDB_NOTFOUND && mayWrite) {
                d = MDB_val{item.value.size(), const_cast<char*>(item.value.data())};
                rc = mdb_put(t, metaDbi, &k, &d, 0);
                if (rc) return rc;
                continue;
            }
            if (rc == MDB_NOTFOUND) return kTableMismatch;
            if (rc) return rc;
            if (std::strcmp(item.key, "register") == 0) continue;  // informational
            if (std::string(static_cast<const char*>(d.mv_data), d.mv_size) != item.value) {
                owner.debug(0, "%s holds %s \"%.*s\", expected \"%s\"", base.c_str(), item.key,
                            static_cast<int>(d.mv_size), static_cast<const char*>(d.mv_data),
                            item.value.c_str());
                return kTableMismatch;
            }
        }
        return 0;
    }

    // --- transactions ---------------------------------------------------------
    void closeCursors(std::vector<MDB_cursor*>& cs) {
        for (MDB_cursor*& c : cs) {
            if (c) mdb_cursor_close(c);
            c = nullptr;
        }
    }

    void dropReadTxn() {
        closeCursors(rcur);
        if (rtxn) mdb_txn_abort(rtxn);
        rtxn = nullptr;
    }

    // Starts the read of one operation: through the batch when one is open,
    // else through the renewed read transaction under the shared lock.
    int beginRead(bool* locked) {
        *locked = false;
        if (batchDepth > 0) {
            if (batchFailed) return kBatchRolledBack;
            active = btxn;
            return kOk;
        }
        for (int attempt = 0; attempt < 8; ++attempt) {
            env->resize.lock_shared();
            int rc =
                rtxn ? mdb_txn_renew(rtxn) : mdb_txn_begin(env->env, nullptr, MDB_RDONLY, &rtxn);
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

    void endRead(bool locked) {
        if (!locked) return;
        mdb_txn_reset(rtxn);
        active = nullptr;
        env->resize.unlock_shared();
    }

    struct ReadScope {
        Impl& m;
        bool locked = false;
        int rc;
        explicit ReadScope(Impl& impl) : m(impl), rc(impl.beginRead(&locked)) {}
        ~ReadScope() { m.endRead(locked); }
    };

    int cursorFor(int index, MDB_cursor** out) {
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

    // Runs one change: inside the batch, or as its own transaction that is
    // retried after growing the map.
    template <class Body>
    int withWrite(Body&& body) {
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
            if (rc == kOk)
                rc = fromMdb(mdb_txn_commit(wtxn));
            else
                mdb_txn_abort(wtxn);
            wtxn = nullptr;
            active = nullptr;
            env->resize.unlock_shared();
            if (rc != MDB_MAP_FULL) return rc;
            if (int g = grow(seen)) return g;
        }
        return MDB_MAP_FULL;
    }

    void rollbackBatch() {
        if (!btxn) return;
        closeCursors(bcur);
        mdb_txn_abort(btxn);
        btxn = nullptr;
        active = nullptr;
        batchFailed = true;
        env->resize.unlock_shared();
    }

    // --- reading --------------------------------------------------------------
    // Makes the record behind index entry `k` current and copies it out.
    int loadAt(int index, const MDB_val& k, void* out) {
        if (k.mv_size < kRecnoLen) return kCorruptRecord;
        const uint8_t* recnoBytes = static_cast<const uint8_t*>(k.mv_data) + k.mv_size - kRecnoLen;
        MDB_val rk{kRecnoLen, const_cast<uint8_t*>(recnoBytes)}, d;
        int rc = mdb_get(active, recordsDbi, &rk, &d);
        if (rc) return rc == MDB_NOTFOUND ? kCorruptRecord : fromMdb(rc);
        if (out && (rc = expand(d, out))) return rc;
        cur.hasPosition = cur.hasCurrent = true;
        cur.recno = getBE(recnoBytes, 8);
        cur.posIndex = index;
        const uint8_t* kb = static_cast<const uint8_t*>(k.mv_data);
        cur.posKey.assign(kb, kb + k.mv_size);
        const uint8_t* db = static_cast<const uint8_t*>(d.mv_data);
        cur.rec.assign(db, db + d.mv_size);
        return kOk;
    }

    int move(MDB_cursor* c, Move how, const uint8_t* p, size_t n, MDB_val* k) {
        MDB_val d;
        int rc;
        switch (how) {
            case Move::First:
                rc = mdb_cursor_get(c, k, &d, MDB_FIRST);
                break;
            case Move::Last:
                rc = mdb_cursor_get(c, k, &d, MDB_LAST);
                break;
            case Move::AtOrAfter:
                *k = MDB_val{n, const_cast<uint8_t*>(p)};
                rc = n ? mdb_cursor_get(c, k, &d, MDB_SET_RANGE)
                       : mdb_cursor_get(c, k, &d, MDB_FIRST);
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
    int readAt(int index, Move how, const uint8_t* p, size_t n, void* out,
               const uint8_t* prefix = nullptr, size_t prefixLen = 0) {
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

    int keyedRead(int index, const void* key, void* out, Move how, uint8_t fill, bool exact) {
        if (!validIndex(index, false) || !key || !out) return kBadArgument;
        const Index& ix = indices[index];
        std::memcpy(probe.data(), key, ix.keyLength);
        std::memset(probe.data() + ix.keyLength, fill, kRecnoLen);
        return readAt(index, how, probe.data(), ix.keyLength + kRecnoLen, out,
                      exact ? static_cast<const uint8_t*>(key) : nullptr, exact ? ix.keyLength : 0);
    }

    // The full stored key of the current position in `index`.
    int positionIn(int index, size_t* n) {
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
        putBE(probe.data() + klen, cur.recno, 8);
        *n = klen + kRecnoLen;
        return kOk;
    }

    int step(int index, Move how, void* out, bool inSet) {
        if (!validIndex(index, true) || !out) return kBadArgument;
        if (inSet && cur.setIndex != index) return kNoCurrentRecord;
        size_t n;
        if (int rc = positionIn(index, &n)) return rc;
        return readAt(index, how, probe.data(), n, out, inSet ? cur.setPrefix.data() : nullptr,
                      inSet ? cur.setPrefix.size() : 0);
    }

    int setRead(int index, const void* key, void* out, int prefixLength, bool fromEnd) {
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

    // --- writing --------------------------------------------------------------
    // Key bytes of every index for a full record, into buf at keyOffset.
    void allKeys(const uint8_t* rec, std::vector<uint8_t>& buf) {
        for (size_t i = 0; i < indices.size(); ++i)
            keyOf(static_cast<int>(i), rec, buf.data() + keyOffset[i]);
    }

    int keyTaken(int i, const uint8_t* key) {
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

    int putEntry(MDB_txn* t, int i, const uint8_t* key, uint64_t recno) {
        const Index& ix = indices[i];
        std::memcpy(probe.data(), key, ix.keyLength);
        putBE(probe.data() + ix.keyLength, recno, 8);
        MDB_val k{ix.keyLength + kRecnoLen, probe.data()}, d{0, nullptr};
        return fromMdb(mdb_put(t, ix.dbi, &k, &d, 0));
    }

    int delEntry(MDB_txn* t, int i, const uint8_t* key, uint64_t recno) {
        const Index& ix = indices[i];
        std::memcpy(probe.data(), key, ix.keyLength);
        putBE(probe.data() + ix.keyLength, recno, 8);
        MDB_val k{ix.keyLength + kRecnoLen, probe.data()};
        int rc = fromMdb(mdb_del(t, ix.dbi, &k, nullptr));
        return rc == kNoRecord ? kOk : rc;  // a missing entry is nothing to undo
    }

    int putRecord(MDB_txn* t, uint64_t* recno, const uint8_t* data, size_t len) {
        uint8_t kb[kRecnoLen];
        MDB_val d{len, const_cast<uint8_t*>(data)};
        for (int attempt = 0; attempt < 2; ++attempt) {
            putBE(kb, env->nextRecno, 8);
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
            env->nextRecno = getBE(static_cast<const uint8_t*>(lk.mv_data), 8) + 1;
        }
        return kCorruptRecord;
    }

    // Reads the stored record `recno` into oldFull (full length).
    int loadOld(MDB_txn* t, uint64_t recno) {
        uint8_t kb[kRecnoLen];
        putBE(kb, recno, 8);
        MDB_val k{kRecnoLen, kb}, d;
        int rc = mdb_get(t, recordsDbi, &k, &d);
        if (rc == MDB_NOTFOUND) return kNoCurrentRecord;
        if (rc) return fromMdb(rc);
        return expand(d, oldFull.data());
    }

    int addRecord(const void* record) {
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
            putBE(cur.posKey.data(), recno, 8);
            cur.rec.assign(data, data + len);
        }
        return rc;
    }

    int modifyRecord(const void* record) {
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
            putBE(kb, recno, 8);
            MDB_val k{kRecnoLen, kb}, d{len, const_cast<uint8_t*>(data)};
            return fromMdb(mdb_put(t, recordsDbi, &k, &d, 0));
        });
        if (rc == kOk) cur.rec.assign(data, data + len);
        return rc;
    }

    int deleteRecord() {
        if (!cur.hasCurrent) return kNoCurrentRecord;
        const uint64_t recno = cur.recno;
        int rc = withWrite([&](MDB_txn* t) {
            if (int r = loadOld(t, recno)) return r;
            allKeys(oldFull.data(), oldKeys);
            for (size_t i = 0; i < indices.size(); ++i)
                if (int r = delEntry(t, static_cast<int>(i), oldKeys.data() + keyOffset[i], recno))
                    return r;
            uint8_t kb[kRecnoLen];
            putBE(kb, recno, 8);
            MDB_val k{kRecnoLen, kb};
            return fromMdb(mdb_del(t, recordsDbi, &k, nullptr));
        });
        if (rc == kOk) cur.hasCurrent = false;  // the position stays for next/previous
        return rc;
    }

    // --- life cycle -----------------------------------------------------------
    int openTable(bool create, bool ro) {
        if (!declared) return kBadDeclaration;
        if (env) return kAlreadyOpen;
        owner.registerTable();
        int rc = acquireEnv(!create, ro);
        if (rc) return rc;
        ownerPid = getpid();
        readOnly = ro;
        rc = setupDatabases(!ro);
        if (rc) {
            env.reset();
            return rc;
        }
        size_t slots = indices.size() + 1;
        rcur.assign(slots, nullptr);
        wcur.assign(slots, nullptr);
        bcur.assign(slots, nullptr);
        cur = Context{};
        stack.clear();
        return kOk;
    }

    int closeTable() {
        if (!env) return kOk;
        if (ownerPid != getpid()) {
            // Inherited through fork(): the handles belong to the parent, and
            // the environment is not closed by a process that did not open it.
            rtxn = wtxn = btxn = nullptr;
            rcur.clear();
            wcur.clear();
            bcur.clear();
            env.reset();
            return kOk;
        }
        if (batchDepth > 0) {
            rollbackBatch();
            batchDepth = 0;
            batchFailed = false;
        }
        dropReadTxn();
        int rc = readOnly ? 0 : fromMdb(mdb_env_sync(env->env, 1));
        env.reset();
        return rc;
    }
};

// ---------------------------------------------------------------------------

TCtreeTable::TCtreeTable(std::string logName)
    : TDebuggable(std::move(logName)), impl_(std::make_unique<Impl>(*this)) {}

TCtreeTable::~TCtreeTable() {
    impl_->closeTable();
}

int TCtreeTable::internalInitialize(const std::string& base, int variable, int fieldCount,
                                    int indexCount, int segmentCount, int recordLength,
                                    int fixedLength) {
    Impl& m = *impl_;
    if (m.env) return m.result(kAlreadyOpen);
    m.resetDeclaration();
    if (base.empty() || fieldCount <= 0 || indexCount < 0 || indexCount > kMaxIndices ||
        segmentCount < indexCount || recordLength <= 0 || fixedLength <= 0 ||
        fixedLength > recordLength || (variable != 0) != (recordLength > fixedLength))
        return m.result(kBadDeclaration);
    m.base = base;
    m.variable = variable != 0;
    m.declaredFields = fieldCount;
    m.declaredIndices = indexCount;
    m.declaredSegments = segmentCount;
    m.recLen = recordLength;
    m.fixedLen = fixedLength;
    return m.result(kOk);
}

int TCtreeTable::setNextField(const char* name, int offset, int type, int length) {
    Impl& m = *impl_;
    if (!name || static_cast<int>(m.fields.size()) >= m.declaredFields || offset < 0 ||
        length <= 0 || offset + length > m.recLen)
        return m.result(kBadDeclaration);
    int w = integerWidth(type);
    bool known = w || type == kTypeByte || type == kTypeBinary || type == kTypeString;
    if (!known || (w && w != length) || (type == kTypeByte && length != 1))
        return m.result(kBadDeclaration);
    m.fields.push_back(Field{name, offset, type, length});
    if (type == kTypeString) m.hasStrings = true;
    return m.result(kOk);
}

int TCtreeTable::setNextIndex(const char* name, int keyLength, int keyType, int duplicates, int,
                              int, int segmentCount, int firstSegment) {
    Impl& m = *impl_;
    if (!name || !*name || static_cast<int>(m.indices.size()) >= m.declaredIndices ||
        keyLength <= 0 || keyLength > kMaxKeyLen || segmentCount <= 0 || firstSegment < 0 ||
        firstSegment + segmentCount > m.declaredSegments || !std::strcmp(name, kRecordsDb) ||
        !std::strcmp(name, kMetaDb))
        return m.result(kBadDeclaration);
    for (const Index& ix : m.indices)
        if (ix.name == name) return m.result(kBadDeclaration);
    m.indices.push_back(
        Index{name, keyLength, keyType, duplicates != 0, segmentCount, firstSegment});
    return m.result(kOk);
}

int TCtreeTable::setNextSegment(int field, int length, int mode) {
    Impl& m = *impl_;
    if (static_cast<int>(m.segments.size()) >= m.declaredSegments || field < 0 ||
        field >= static_cast<int>(m.fields.size()) || length <= 0)
        return m.result(kBadDeclaration);
    const Field& f = m.fields[field];
    if (length > f.length || (integerWidth(f.type) && length != f.length))
        return m.result(kBadDeclaration);
    m.segments.push_back(Segment{field, length, mode});
    return m.result(kOk);
}

int TCtreeTable::shellOrder(int field) {
    Impl& m = *impl_;
    if (field < 0 || field >= static_cast<int>(m.fields.size())) return m.result(kBadDeclaration);
    ++m.shellOrdered;
    return m.result(kOk);
}

int TCtreeTable::initializeComplete() {
    Impl& m = *impl_;
    if (static_cast<int>(m.fields.size()) != m.declaredFields ||
        static_cast<int>(m.indices.size()) != m.declaredIndices ||
        static_cast<int>(m.segments.size()) != m.declaredSegments)
        return m.result(kBadDeclaration);
    std::string layout = "record " + std::to_string(m.recLen) + "/" + std::to_string(m.fixedLen) +
                         (m.variable ? " variable" : " fixed") + "; fields";
    for (const Field& f : m.fields)
        layout += " " + f.name + ":" + std::to_string(f.offset) + ":" + std::to_string(f.type) +
                  ":" + std::to_string(f.length);
    layout += "; indices";
    size_t totalKeys = 0;
    m.keyOffset.clear();
    for (const Index& ix : m.indices) {
        int sum = 0;
        layout += " " + ix.name + (ix.duplicates ? ":dup(" : ":unique(");
        for (int k = 0; k < ix.segmentCount; ++k) {
            const Segment& s = m.segments[ix.firstSegment + k];
            sum += s.length;
            layout += (k ? "," : "") + std::to_string(s.field) + "/" + std::to_string(s.length);
        }
        layout += ")";
        if (sum != ix.keyLength) return m.result(kBadDeclaration);
        m.keyOffset.push_back(static_cast<int>(totalKeys));
        totalKeys += ix.keyLength;
    }
    m.layout = std::move(layout);
    const size_t maxProbe = kMaxKeyLen + kRecnoLen;
    m.probe.assign(maxProbe, 0);
    m.stored.assign(m.recLen, 0);
    m.full.assign(m.recLen, 0);
    m.oldFull.assign(m.recLen, 0);
    m.keys.assign(totalKeys + 1, 0);
    m.oldKeys.assign(totalKeys + 1, 0);
    m.cur.posKey.reserve(maxProbe);
    m.cur.rec.reserve(m.recLen);
    m.declared = true;
    return m.result(kOk);
}

int TCtreeTable::internalRegisterTable(int a, int b, int c) {
    impl_->registered[0] = a;
    impl_->registered[1] = b;
    impl_->registered[2] = c;
    return kOk;
}

int TCtreeTable::fillKeySegment(char** cursor, int* remaining, const void* value, int, int index,
                                int segment) {
    Impl& m = *impl_;
    if (!m.declared || !m.validIndex(index, false) || !cursor || !*cursor || !remaining || !value)
        return m.result(kBadArgument);
    const Index& ix = m.indices[index];
    if (segment < 0 || segment >= ix.segmentCount) return m.result(kBadArgument);
    const Segment& s = m.segments[ix.firstSegment + segment];
    if (*remaining < s.length) return m.result(kKeyBufferTooShort);
    const Field& f = m.fields[s.field];
    m.encode(f, s, static_cast<const uint8_t*>(value), s.length,
             reinterpret_cast<uint8_t*>(*cursor));
    *cursor += s.length;
    *remaining -= s.length;
    m.kbIndex = index;
    m.kbNext = segment + 1;
    return m.result(kOk);
}

int TCtreeTable::finishKey(char** cursor, int* remaining, int index, int) {
    Impl& m = *impl_;
    if (!m.declared || !m.validIndex(index, false) || !cursor || !*cursor || !remaining)
        return m.result(kBadArgument);
    const Index& ix = m.indices[index];
    for (int k = m.kbIndex == index ? m.kbNext : 0; k < ix.segmentCount; ++k) {
        const Segment& s = m.segments[ix.firstSegment + k];
        if (*remaining < s.length) return m.result(kKeyBufferTooShort);
        std::memset(*cursor, 0, s.length);
        *cursor += s.length;
        *remaining -= s.length;
    }
    m.kbIndex = -1;
    m.kbNext = 0;
    return m.result(kOk);
}

int TCtreeTable::create() {
    return impl_->result(impl_->openTable(true, false));
}

int TCtreeTable::open(JXIndexing::TAccessEnum mode) {
    if (mode != JXIndexing::TAccessReadWrite && mode != JXIndexing::TAccessReadOnly)
        return impl_->result(kBadArgument);
    return impl_->result(impl_->openTable(false, mode == JXIndexing::TAccessReadOnly));
}

int TCtreeTable::close() {
    return impl_->result(impl_->closeTable());
}

bool TCtreeTable::isOpen() const {
    return impl_->env != nullptr;
}

int TCtreeTable::sync() {
    Impl& m = *impl_;
    if (!m.env) return m.result(kNotOpen);
    return m.result(m.readOnly ? kOk : fromMdb(mdb_env_sync(m.env->env, 1)));
}

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

void TCtreeTable::pushContext() {
    impl_->stack.push_back(impl_->cur);
}

void TCtreeTable::popContext() {
    Impl& m = *impl_;
    if (m.stack.empty()) return;
    m.cur = std::move(m.stack.back());
    m.stack.pop_back();
}

int TCtreeTable::noRecordFound() const {
    return impl_->last == kNoRecord;
}
int TCtreeTable::lastResult() const {
    return impl_->last;
}

std::string TCtreeTable::errToString(int code) {
    switch (code) {
        case kOk:
            return "success";
        case kDuplicateKey:
            return "duplicate key in a unique index";
        case kNoCurrentRecord:
            return "no current record";
        case kNoRecord:
            return "no record found";
        case kBadDeclaration:
            return "invalid table declaration";
        case kBadArgument:
            return "invalid argument";
        case kKeyBufferTooShort:
            return "key buffer too short";
        case kNotOpen:
            return "table is not open";
        case kAlreadyOpen:
            return "table is already open";
        case kTableMismatch:
            return "the file holds another table or another layout";
        case kReadOnly:
            return "table is open read-only";
        case kBatchRolledBack:
            return "the batch was rolled back because the database map filled up; it must be "
                   "redone";
        case kNoBatch:
            return "no batch is open";
        case kCorruptRecord:
            return "the database is corrupt: a stored record is damaged";
        default:
            break;
    }
    if (code >= kSystemErrorBase) return jxErrnoText(code - kSystemErrorBase);
    if (code < 0) return mdb_strerror(code);
    return "table engine error " + std::to_string(code);
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

TCtreeTable::BatchScope::BatchScope(TCtreeTable& table, size_t expectedBytes)
    : table_(table), begin_(table.beginBatch(expectedBytes)), open_(begin_ == kOk) {}

TCtreeTable::BatchScope::~BatchScope() {
    if (open_) table_.abortBatch();
}

int TCtreeTable::BatchScope::commit() {
    if (!open_) return begin_ ? begin_ : kNoBatch;
    open_ = false;
    return table_.commitBatch();
}

std::string TCtreeTable::dataFileName() const {
    return impl_->base.empty() ? std::string() : impl_->base + ".dat";
}

std::vector<std::string> TCtreeTable::tableFiles(const std::string& base) {
    return {base + ".dat", base + ".dat-lock", base + ".idx"};
}

void TCtreeTable::removeTableFiles(const std::string& base) {
    {
        // A later open must make a fresh environment, not reuse one whose file
        // is gone.
        std::lock_guard<std::mutex> lk(gRegistryMutex);
        registry().erase(canonicalFile(base + ".dat"));
    }
    for (const std::string& f : tableFiles(base)) ::unlink(f.c_str());
}

void TCtreeTable::setInitialMapSize(size_t bytes) {
    gInitialMapSize = bytes ? std::max<size_t>(bytes, 65536) : kDefaultMapSize;
}

int TCtreeTable::recordLength() const {
    return impl_->recLen;
}
int TCtreeTable::keyLength(int index) const {
    return impl_->validIndex(index, false) ? impl_->indices[index].keyLength : 0;
}
int TCtreeTable::indexCount() const {
    return static_cast<int>(impl_->indices.size());
}
