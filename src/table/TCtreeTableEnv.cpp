// The table engine's environments: one LMDB environment per file and
// process, its map size, the named databases and the table description, and
// opening and closing a table.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "FLR/JxException.h"
#include "TCtreeTableImpl.h"
#include "platform/JxCoding.h"

using namespace tctree;

std::atomic<size_t> tctree::gInitialMapSize{kDefaultMapSize};

namespace {

std::mutex gRegistryMutex;
std::map<std::string, std::weak_ptr<SharedEnv>>& envRegistry() {
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

}  // namespace

SharedEnv::~SharedEnv() {
    // After fork() the child must leave the parent's environment alone.
    if (env && pid == getpid()) {
        if (!readOnly && unsynced.load()) syncNow(*this);
        mdb_env_close(env);
    }
}

// The process's environment of file, opened when it is not yet.
int tctree::openShared(const std::string& file, bool mustExist, bool ro,
                       std::shared_ptr<SharedEnv>* out) {
    std::string key = canonicalFile(file);
    std::lock_guard<std::mutex> lk(gRegistryMutex);
    auto it = envRegistry().find(key);
    if (it != envRegistry().end()) {
        if (auto sp = it->second.lock(); sp && sp->pid == getpid()) {
            if (sp->readOnly && !ro) return TCtreeTable::kReadOnly;
            *out = sp;
            return TCtreeTable::kOk;
        }
    }
    struct stat st;
    bool exists = ::stat(file.c_str(), &st) == 0;
    if (!exists && (mustExist || ro)) return TCtreeTable::kSystemErrorBase + ENOENT;
    auto sp = std::make_shared<SharedEnv>();
    int rc = mdb_env_create(&sp->env);
    if (rc) return fromMdb(rc);
    sp->pid = getpid();
    sp->readOnly = ro;
    mdb_env_set_maxdbs(sp->env, kMaxDbs);
    mdb_env_set_maxreaders(sp->env, kMaxReaders);
    size_t initial = gInitialMapSize.load();
    if (!exists) mdb_env_set_mapsize(sp->env, initial);
    // Pages are written with write(2), not through a writable map: with a
    // writable map the kernel writes data and meta pages back in any order,
    // so a power cut could leave a meta page pointing at pages that never
    // reached the disk. Written this way a lost flush costs only the last
    // commits, and a full disk is an error of the commit, not a SIGBUS.
    // Commits do not flush (MDB_NOSYNC); TCtreeTableSync.cpp flushes in the
    // background, at the end of every batch scope and on close.
    unsigned flags = MDB_NOSUBDIR | MDB_NOSYNC | MDB_NOTLS | (ro ? MDB_RDONLY : 0u);
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
    MDB_stat est;
    if (mdb_env_stat(sp->env, &est) == 0) sp->pageSize = est.ms_psize;
    envRegistry()[key] = sp;
    *out = sp;
    return TCtreeTable::kOk;
}

int TCtreeTable::Impl::acquireEnv(bool mustExist, bool ro) {
    return openShared(base + ".dat", mustExist, ro, &env);
}

// Sets the map size (under the exclusive lock). The file grows as pages are
// written, so a full disk shows later, as the failed commit.
int TCtreeTable::Impl::resizeMap(size_t target) {
    int rc = mdb_env_set_mapsize(env->env, target);
    if (rc) {
        owner.debug(0, "Cannot grow the map of %s to %zu bytes: %s", base.c_str(), target,
                    mdb_strerror(rc));
        return fromMdb(rc);
    }
    MDB_envinfo info;
    mdb_env_info(env->env, &info);
    owner.debug(2, "Map of %s grown to %zu bytes", base.c_str(),
                static_cast<size_t>(info.me_mapsize));
    env->mapSize = info.me_mapsize;
    return kOk;
}

// Another process grew the map: take its size.
int TCtreeTable::Impl::adoptMapSize() {
    std::unique_lock<std::shared_mutex> lk(env->resize);
    int rc = mdb_env_set_mapsize(env->env, 0);
    MDB_envinfo info;
    mdb_env_info(env->env, &info);
    env->mapSize = info.me_mapsize;
    return fromMdb(rc);
}

// The map filled up at size `seen`: double it (or step by hugeFileIncr).
int TCtreeTable::Impl::grow(size_t seen) {
    std::unique_lock<std::shared_mutex> lk(env->resize);
    if (env->mapSize > seen) return kOk;  // another instance already did
    size_t step = std::max<size_t>(env->mapSize, std::max<long>(owner.hugeFileIncr(), 4096));
    size_t target = std::min(env->mapSize + step, maxMapSize());
    if (target <= env->mapSize) return MDB_MAP_FULL;
    return resizeMap(target);
}

// Before a batch: room for at least as much again as the file holds, so a
// large batch rarely has to be rolled back for want of map.
int TCtreeTable::Impl::ensureHeadroom(size_t expected) {
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
int TCtreeTable::Impl::setupDatabases(bool createMissing) {
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

int TCtreeTable::Impl::setupInTxn(bool createMissing) {
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
                env->nextRecno = jx::loadBE64(static_cast<const uint8_t*>(k.mv_data)) + 1;
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

int TCtreeTable::Impl::checkMeta(MDB_txn* t, bool mayWrite) {
    const char* type = owner.getTableType();
    std::string reg = std::to_string(registered[0]) + "," + std::to_string(registered[1]) + "," +
                      std::to_string(registered[2]);
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

int TCtreeTable::Impl::openTable(bool create, bool ro) {
    if (!declared) return kBadDeclaration;
    if (env) return kAlreadyOpen;
    owner.registerTable();
    int rc = acquireEnv(!create, ro);
    if (rc) return rc;
    ownerPid = getpid();
    readOnly = ro;
    rc = setupDatabases(!ro);
    // A new table's databases and layout reach the disk before anyone writes
    // to it: a power cut must not leave a file that no longer opens.
    if (rc == kOk && !ro) rc = syncNow(*env);
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

int TCtreeTable::Impl::closeTable() {
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
    // Only this process's own commits are its to flush.
    int rc = readOnly || !env->unsynced.load() ? kOk : syncNow(*env);
    env.reset();
    return rc;
}

// ---------------------------------------------------------------------------

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
    return m.result(m.readOnly ? kOk : syncNow(*m.env));
}

void TCtreeTable::removeTableFiles(const std::string& base) {
    {
        // A later open must make a fresh environment, not reuse one whose file
        // is gone.
        std::lock_guard<std::mutex> lk(gRegistryMutex);
        envRegistry().erase(canonicalFile(base + ".dat"));
    }
    for (const std::string& f : tableFiles(base)) ::unlink(f.c_str());
}

void TCtreeTable::setInitialMapSize(size_t bytes) {
    gInitialMapSize = bytes ? std::max<size_t>(bytes, 65536) : kDefaultMapSize;
}
