// Task table: allocation, purge of ended and stalled tasks, lookup, listing and deletion.
// Allocation from several processes at once: stress_test.cpp.
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "tests/support.h"

using namespace fhtest;

namespace {

std::string PathOf(uint32_t id) {
    return "/var/uploadDownload" + std::to_string(id) + ".progress";
}

// Marks slot id-1 used and writes its progress record.
void UseSlot(TaskTable& t, uint32_t id, uint32_t stage, uint32_t time) {
    t.astSlot[id - 1].uiIdentifier = id;
    snprintf(t.astSlot[id - 1].szProgressFile, 256, "%s", PathOf(id).c_str());
    ComponentProcess rec{stage, 0, time, 0, "", "", {}};
    WriteFile(PathOf(id), std::string(reinterpret_cast<char*>(&rec), sizeof rec));
}

using TaskTableTest = FhTest;

}  // namespace

TEST_F(TaskTableTest, AllocatesLowestFreeSlotWithInitialRecord) {
    TaskTable t{};
    uint32_t now = FreezeClock();
    for (uint32_t id : {2u, 4u, 5u, 6u, 7u, 8u, 9u, 10u}) {
        UseSlot(t, id, FILEHANDLE_STAGE_TRANSFERRING, now);
    }
    memset(t.astSlot[2].szProgressFile, 'x', 255);  // stale bytes in a free slot
    WriteTable(t);
    uint32_t id = 99;
    for (uint32_t want : {1u, 3u}) {
        ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
        EXPECT_EQ(want, id);
    }
    EXPECT_EQ(FILEHANDLE_IN_TABLE_FULL, FILEHANLE_IDdetifier_ProgessFile(&id));
    TaskSlot slot{3, "/var/uploadDownload3.progress"};  // zero-filled behind the text
    TaskTable after = ReadTable();
    EXPECT_EQ(0, memcmp(&slot, &after.astSlot[2], sizeof slot));
    ComponentProcess init{1, 0, now, 0, "File download or upload init", "", {}};
    EXPECT_TRUE(ReadFile(PathOf(3)) == std::string(reinterpret_cast<char*>(&init), sizeof init));
    EXPECT_TRUE(LockIsFree(FILEHANDLE_TASK_LOCK_NAME));
}

TEST_F(TaskTableTest, ExpiryBoundaries) {
    enum Record { kStamped, kNeverStamped, kMissing, kShort };
    const struct {
        const char* name;
        uint32_t stage;
        int age;  // seconds since the last write; negative: in the future
        Record record;
        bool expires;
    } cases[] = {
        {"ended 12 s ago stays", FILEHANDLE_STAGE_SUCCEED, 12, kStamped, false},
        {"ended 13 s ago goes", FILEHANDLE_STAGE_SUCCEED, 13, kStamped, true},
        {"failed 13 s ago goes", FILEHANDLE_STAGE_FAILED, 13, kStamped, true},
        {"running 120 s stays", FILEHANDLE_STAGE_TRANSFERRING, 120, kStamped, false},
        {"running 121 s goes", FILEHANDLE_STAGE_TRANSFERRING, 121, kStamped, true},
        {"running 13 s stays", FILEHANDLE_STAGE_TRANSFERRING, 13, kStamped, false},
        {"stage 0 at 121 s goes", FILEHANDLE_STAGE_NOT_SUPPORTED, 121, kStamped, true},
        {"unknown stage 7 at 120 s stays", 7, 120, kStamped, false},
        {"time 0 never expires", FILEHANDLE_STAGE_FAILED, 0, kNeverStamped, false},
        {"future time never expires", FILEHANDLE_STAGE_SUCCEED, -100, kStamped, false},
        {"missing progress file stays", FILEHANDLE_STAGE_FAILED, 1000, kMissing, false},
        {"short record stays", FILEHANDLE_STAGE_FAILED, 1000, kShort, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        TaskTable t{};
        uint32_t now = FreezeClock();
        UseSlot(t, 4, c.stage, c.record == kNeverStamped ? 0 : now - c.age);
        UseSlot(t, 9, FILEHANDLE_STAGE_TRANSFERRING, now);  // a young neighbour always stays
        // A short record still holds its stage and time.
        ASSERT_EQ(0, c.record == kMissing ? unlink(PathOf(4).c_str())
                     : c.record == kShort ? truncate(PathOf(4).c_str(), 100)
                                          : 0);
        WriteTable(t);
        uint32_t freed = 77;
        FILEHANDLE_UploadDownloadDateClean(&freed);
        EXPECT_EQ(c.expires ? 1u : 0u, freed);
        TaskTable after = ReadTable();
        EXPECT_EQ(c.expires ? 0u : 4u, after.astSlot[3].uiIdentifier);
        EXPECT_EQ(!c.expires && c.record != kMissing, FileExists(PathOf(4)));
        EXPECT_EQ(9u, after.astSlot[8].uiIdentifier);
    }
}

// A full table is purged once; the start fails when nothing was freed, and otherwise
// takes the freed identifier. No task that stays is touched.
TEST_F(TaskTableTest, FullTablePurgesOnceThenRetries) {
    for (bool fiveEnded : {false, true}) {
        SCOPED_TRACE(fiveEnded);
        ResetAll();
        TaskTable t{};
        uint32_t now = FreezeClock();
        for (uint32_t i = 1; i <= 10; ++i) {
            bool old = fiveEnded && i == 5;  // ended 13 s ago; the others are young
            UseSlot(t, i, i % 2 ? FILEHANDLE_STAGE_SUCCEED : FILEHANDLE_STAGE_TRANSFERRING,
                    old ? now - 13 : now - 5);
        }
        WriteTable(t);
        uint32_t id = 0;
        EXPECT_EQ(fiveEnded ? 0u : FILEHANDLE_E_START_FAILED, FILEHANLE_ClearTasksAndConfigID(&id));
        EXPECT_EQ(fiveEnded ? 5u : 0u, id);
        TaskTable after = ReadTable();  // the freed slot 5 taken again as it was
        EXPECT_EQ(0, memcmp(&t, &after, sizeof t)) << "a task that stays was touched";
    }
}

TEST_F(TaskTableTest, LookupListAndDelete) {
    TaskTable t{};
    uint32_t now = FreezeClock();
    UseSlot(t, 2, FILEHANDLE_STAGE_TRANSFERRING, now);
    UseSlot(t, 7, FILEHANDLE_STAGE_TRANSFERRING, now);
    t.astSlot[4].uiIdentifier = 3;  // a slot holding another value is no task
    WriteTable(t);
    auto list = [] {
        TransferTaskInfo info;
        memset(&info, 0xaa, sizeof info);
        EXPECT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
        size_t n = std::min<size_t>(info.ucTaskNum, FILEHANDLE_THREAD_MAX - 1);
        EXPECT_EQ(0xaaaaaaaau, info.auiIdentifier[n]);  // nothing written past the list
        return std::vector<uint32_t>(info.auiIdentifier, info.auiIdentifier + n);
    };
    EXPECT_EQ((std::vector<uint32_t>{2, 3, 7}), list());  // the odd slot holding 3 counts
    // Each identifier looked up, then deleted: 1 is free, 5 holds 3 and is left alone.
    const uint32_t kNoMatch = FILEHANDLE_IN_NO_SLOT_MATCH, kBad = FILEHANDLE_IN_BAD_ARGUMENT,
                   kBadTarget = FILEHANDLE_E_BAD_TARGET;
    const uint32_t rows[][3] = {{7, 0, 0},
                                {2, 0, 0},
                                {5, kNoMatch, 0},
                                {1, kNoMatch, 0},
                                {0, kBad, kBadTarget},
                                {11, kBad, kBadTarget},
                                {0xffffffffu, kBad, kBadTarget}};
    for (const auto& [id, lookup, removal] : rows) {
        SCOPED_TRACE(id);
        char path[256] = "";
        EXPECT_EQ(lookup, FILEHANDLE_GetProgressFile(id, path));
        EXPECT_EQ(lookup == 0 ? PathOf(id) : "", path);
        EXPECT_EQ(removal, FILEHANDLE_DeleteProgressInfo(id));
        EXPECT_FALSE(lookup == 0 && FileExists(PathOf(id))) << "the task's file stays";
    }
    EXPECT_EQ((std::vector<uint32_t>{3}), list());
    WriteTable(TaskTable{});
    EXPECT_EQ((std::vector<uint32_t>{}), list());
    EXPECT_TRUE(LockIsFree(FILEHANDLE_TASK_LOCK_NAME));
}

// Without a database, or with its reads or its writes failing, each call fails with a code
// of its own, stores nothing, reports no expiry count and leaves the table lock free.
TEST_F(TaskTableTest, DatabaseFaults) {
    const struct {
        std::atomic<bool> Faults::*fault;
        uint32_t allocate, handedOut, clear, remove, list, lookup;
    } rows[] = {
        {&Faults::noDb, FILEHANDLE_IN_BAD_ARGUMENT, 0, FILEHANDLE_E_START_FAILED,
         FILEHANDLE_E_NO_DB, FILEHANDLE_E_NO_DB, FILEHANDLE_IN_NO_DB},
        {&Faults::dbGetFails, FILEHANDLE_IN_DB_READ, 0, FILEHANDLE_E_START_FAILED,
         FILEHANDLE_E_DB_READ, FILEHANDLE_E_DB_READ, FILEHANDLE_IN_DB_READ},
        {&Faults::dbPutFails, FILEHANDLE_IN_DB_WRITE, 1, FILEHANDLE_E_START_FAILED,
         FILEHANDLE_E_DB_WRITE, 0, FILEHANDLE_IN_NO_SLOT_MATCH},
    };
    for (const auto& r : rows) {
        faults().*r.fault = true;
        uint32_t id = 0, freed = 9;
        TransferTaskInfo info{};
        char path[256];
        EXPECT_EQ(r.allocate, FILEHANLE_IDdetifier_ProgessFile(&id));
        EXPECT_EQ(r.handedOut, id);  // a write that fails comes after the choice
        EXPECT_FALSE(FileExists(PathOf(1)));
        EXPECT_EQ(r.clear, FILEHANLE_ClearTasksAndConfigID(&id));
        EXPECT_EQ(r.remove, FILEHANDLE_DeleteProgressInfo(1));
        EXPECT_EQ(r.list, FILEHANDLE_GetTransferTaskInfo(&info));
        EXPECT_EQ(r.lookup, FILEHANDLE_GetProgressFile(1, path));
        FILEHANDLE_UploadDownloadDateClean(&freed);
        EXPECT_EQ(9u, freed) << "a count from an expiry that could not be stored";
        faults().*r.fault = false;
        EXPECT_EQ(0u, ReadTable().astSlot[0].uiIdentifier);
        EXPECT_TRUE(LockIsFree(FILEHANDLE_TASK_LOCK_NAME));
    }
}
