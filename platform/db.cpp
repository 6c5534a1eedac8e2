// The key-value database on LMDB: records are raw byte blocks under 32-bit keys.
#include <lmdb.h>
#include <string.h>
#include <unistd.h>

#include <mutex>

#include "platform/bmc_platform.h"
#include "platform/platform_internal.h"

struct BMC_Db {
    MDB_env* env = nullptr;
    MDB_dbi dbi = 0;
};

namespace {

std::mutex g_dbMutex;
BMC_Db* g_db = nullptr;
pid_t g_dbPid = 0;

// One environment per process, opened on first use. An environment must not be used
// across fork(): a child opens its own and leaves the inherited one alone.
BMC_Db* OpenDb() {
    if (!bmc::MakeDirs(BMC_DB_DIR)) {
        return nullptr;
    }
    MDB_env* env = nullptr;
    if (mdb_env_create(&env) != 0) {
        return nullptr;
    }
    MDB_txn* txn = nullptr;
    MDB_dbi dbi = 0;
    // MDB_NOTLS: read transactions are not tied to threads, so any number of worker
    // threads may read. MDB_NOSYNC: records survive a crashed process (they are in the
    // page cache) but not a power cut, which suits a table of running tasks.
    if (mdb_env_set_mapsize(env, 8u << 20) != 0 ||
        mdb_env_open(env, BMC_DB_DIR, MDB_NOTLS | MDB_NOSYNC, 0600) != 0 ||
        mdb_txn_begin(env, nullptr, 0, &txn) != 0) {
        mdb_env_close(env);
        return nullptr;
    }
    if (mdb_dbi_open(txn, nullptr, 0, &dbi) != 0 || mdb_txn_commit(txn) != 0) {
        mdb_env_close(env);
        return nullptr;
    }
    BMC_Db* db = new (std::nothrow) BMC_Db;
    if (db == nullptr) {
        mdb_env_close(env);
        return nullptr;
    }
    db->env = env;
    db->dbi = dbi;
    return db;
}

MDB_val KeyVal(uint32_t* key) {
    return MDB_val{sizeof *key, key};
}

}  // namespace

extern "C" BMC_Db* DB_GetCurrentDb(void) {
    std::lock_guard<std::mutex> lock(g_dbMutex);
    const pid_t pid = bmc::ProcessId();
    if (g_db == nullptr || g_dbPid != pid) {
        g_db = OpenDb();
        g_dbPid = pid;
    }
    return g_db;
}

extern "C" int DB_Get(BMC_Db* db, uint32_t key, uint32_t size, void* buffer) {
    if (db == nullptr || buffer == nullptr) {
        return 1;
    }
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(db->env, nullptr, MDB_RDONLY, &txn) != 0) {
        return 1;
    }
    MDB_val k = KeyVal(&key);
    MDB_val v{};
    int rc = mdb_get(txn, db->dbi, &k, &v);
    int result = 0;
    if (rc == MDB_NOTFOUND) {
        result = -1;
    } else if (rc != 0 || v.mv_size != size) {
        result = 1;  // a record of another size is not this record
    } else {
        memcpy(buffer, v.mv_data, size);
    }
    mdb_txn_abort(txn);
    return result;
}

extern "C" int DB_PutInternal(const char* file, uint32_t line, BMC_Db* db, uint32_t key,
                              uint32_t size, const void* buffer) {
    (void)file;
    (void)line;
    if (db == nullptr || buffer == nullptr) {
        return 1;
    }
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(db->env, nullptr, 0, &txn) != 0) {
        return 1;
    }
    MDB_val k = KeyVal(&key);
    MDB_val v{size, const_cast<void*>(buffer)};
    if (mdb_put(txn, db->dbi, &k, &v, 0) != 0) {
        mdb_txn_abort(txn);
        return 1;
    }
    return mdb_txn_commit(txn) == 0 ? 0 : 1;
}
