// Fuzz target for what the library reads back from storage that others can write: the task
// table in the database and the progress records in their files. The input is the table
// (zero-padded to its size), then the bytes every progress file holds. Whatever they say,
// each call returns one of its results, every text handed back is terminated within its
// field, a looked-up path is the slot's own progress path, and no other file is written or
// removed: a canary file, which the seed corpus names in the table, stays as it was.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "frontend/filehandle_ulanddl.h"
#include "platform/bmc_platform.h"
#include "tests/fuzz/fuzz_support.h"

// The record reader pauses between its tries; fuzzing need not wait.
extern "C" int usleep(useconds_t) {
    return 0;
}

// The database keeps its records in memory here, with the platform's answers (-1: no such
// record, 1: a record of another size): what the library makes of the records is the
// input, not how they reach the disk.
namespace {
std::map<uint32_t, std::string> g_records;
}
extern "C" BMC_Db* DB_GetCurrentDb(void) {
    return reinterpret_cast<BMC_Db*>(&g_records);
}
extern "C" int DB_Get(BMC_Db*, uint32_t key, uint32_t size, void* buffer) {
    auto it = g_records.find(key);
    if (it == g_records.end()) {
        return -1;
    }
    if (it->second.size() != size) {
        return 1;
    }
    memcpy(buffer, it->second.data(), size);
    return 0;
}
extern "C" int DB_PutInternal(const char*, uint32_t, BMC_Db*, uint32_t key, uint32_t size,
                              const void* buffer) {
    g_records[key].assign(static_cast<const char*>(buffer), size);
    return 0;
}

namespace {

const char* const kCanary = "/var/tmp/fuzz-canary";

std::string Path(uint32_t id) {
    char p[64];
    snprintf(p, sizeof p, FILEHANDLE_PROGRESS_PATH_FMT, id);
    return p;
}

void WriteAll(const std::string& path, const void* data, size_t size) {
    std::ofstream(path, std::ios::binary)
        .write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string ReadAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool OneOf(uint32_t rc, std::initializer_list<uint32_t> allowed) {
    return std::find(allowed.begin(), allowed.end(), rc) != allowed.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TaskTable table{};
    size_t n = std::min(size, sizeof table);
    memcpy(&table, data, n);
    BMC_Db* db = DB_GetCurrentDb();
    FUZZ_CHECK(db != nullptr && DB_PutInternal(__FILE__, __LINE__, db, FILEHANDLE_TASK_DB_KEY,
                                               sizeof table, &table) == 0,
               "cannot write the table");
    for (uint32_t id = 1; id <= FILEHANDLE_THREAD_MAX; ++id) {
        WriteAll(Path(id), data + n, size - n);
    }
    WriteAll(kCanary, "canary", 6);

    for (uint32_t id = 0; id <= FILEHANDLE_THREAD_MAX + 1; ++id) {
        char path[256];
        memset(path, 'x', sizeof path);
        uint32_t rc = FILEHANDLE_GetProgressFile(id, path);
        FUZZ_CHECK(OneOf(rc, {0, FILEHANDLE_IN_BAD_ARGUMENT, FILEHANDLE_IN_NO_SLOT_MATCH}),
                   "lookup %u: 0x%x", id, rc);
        FUZZ_CHECK(rc != 0 || Path(id) == path, "lookup %u gave %.255s", id, path);
        ComponentProcess rec;
        memset(&rec, 'x', sizeof rec);
        rc = FILEHANDLE_UploadDownloadProgress(id, &rec);
        FUZZ_CHECK(OneOf(rc, {0, FILEHANDLE_E_PROGRESS, FILEHANDLE_E_NO_PROGRESS_PATH,
                              FILEHANDLE_E_NO_PROGRESS_FILE}),
                   "poll %u: 0x%x", id, rc);
        if (rc == 0) {
            CheckTerminated(rec.szDescription, "szDescription");
            CheckTerminated(rec.szStageDesc, "szStageDesc");
        }
    }
    TransferTaskInfo info{};
    FUZZ_CHECK(
        FILEHANDLE_GetTransferTaskInfo(&info) == 0 && info.ucTaskNum <= FILEHANDLE_THREAD_MAX,
        "listing");
    uint32_t freed = 0;
    FILEHANDLE_UploadDownloadDateClean(&freed);
    FUZZ_CHECK(freed <= FILEHANDLE_THREAD_MAX, "expiry freed %u", freed);
    uint32_t id = 0;
    uint32_t rc = FILEHANLE_IDdetifier_ProgessFile(&id);
    FUZZ_CHECK(OneOf(rc, {0, FILEHANDLE_IN_TABLE_FULL}) && (rc != 0 || (id >= 1 && id <= 10)),
               "allocation");
    for (id = 1; id <= FILEHANDLE_THREAD_MAX; ++id) {
        FUZZ_CHECK(FILEHANDLE_DeleteProgressInfo(id) == 0, "delete %u", id);
    }
    FUZZ_CHECK(ReadAll(kCanary) == "canary", "a file named by the table was touched");
    return 0;
}
