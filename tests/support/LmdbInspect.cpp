#include "LmdbInspect.h"

#include <lmdb.h>

namespace flrtest {

namespace {

// Runs fn(txn) in a read transaction of the file opened read-only.
template <class Fn>
void withReadTxn(const std::string& file, Fn&& fn) {
    MDB_env* env;
    if (mdb_env_create(&env)) return;
    mdb_env_set_maxdbs(env, 64);
    MDB_txn* txn;
    if (mdb_env_open(env, file.c_str(), MDB_NOSUBDIR | MDB_RDONLY, 0) == 0 &&
        mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) == 0) {
        fn(txn);
        mdb_txn_abort(txn);
    }
    mdb_env_close(env);
}

std::string text(const MDB_val& v) {
    return std::string(static_cast<const char*>(v.mv_data), v.mv_size);
}

std::vector<std::pair<std::string, std::string>> entriesOf(MDB_txn* txn, const char* database) {
    std::vector<std::pair<std::string, std::string>> out;
    MDB_dbi dbi;
    MDB_cursor* c;
    if (mdb_dbi_open(txn, database, 0, &dbi) != 0 || mdb_cursor_open(txn, dbi, &c) != 0) return out;
    MDB_val k, v;
    while (mdb_cursor_get(c, &k, &v, MDB_NEXT) == 0) out.emplace_back(text(k), text(v));
    mdb_cursor_close(c);
    return out;
}

}  // namespace

std::set<std::string> lmdbDatabases(const std::string& file) {
    std::set<std::string> names;
    withReadTxn(file, [&](MDB_txn* txn) {
        for (auto& [name, value] : entriesOf(txn, nullptr)) names.insert(name);
    });
    return names;
}

std::vector<std::pair<std::string, std::string>> lmdbEntries(const std::string& file,
                                                             const std::string& database) {
    std::vector<std::pair<std::string, std::string>> out;
    withReadTxn(file, [&](MDB_txn* txn) { out = entriesOf(txn, database.c_str()); });
    return out;
}

std::string lmdbValue(const std::string& file, const std::string& database,
                      const std::string& key) {
    for (auto& [k, v] : lmdbEntries(file, database))
        if (k == key) return v;
    return std::string();
}

}  // namespace flrtest
