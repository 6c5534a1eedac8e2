// Task table: allocation, purge of ended and stalled tasks, lookup, listing, deletion,
// and allocation from several processes at once.
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <thread>

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
    WriteRecordRaw(PathOf(id), stage, time);
}

// Waits until just after a second starts, so a case that reads the clock twice sees
// the same second.
class TaskTableTest : public FhTest {};

}  // namespace

TEST_F(TaskTableTest, AllocatesLowestFreeSlotWithInitialRecord) {
    TaskTable t{};
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    for (uint32_t id : {2u, 4u, 5u, 6u, 7u, 8u, 9u, 10u}) {
        UseSlot(t, id, FILEHANDLE_STAGE_TRANSFERRING, now);
    }
    WriteTable(t);
    uint32_t id = 99;
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
    EXPECT_EQ(1u, id);
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
    EXPECT_EQ(3u, id);
    TaskTable after = ReadTable();
    EXPECT_EQ(3u, after.astSlot[2].uiIdentifier);
    EXPECT_STREQ("/var/uploadDownload3.progress", after.astSlot[2].szProgressFile);
    // Zero-filled behind the path text.
    for (size_t i = strlen(after.astSlot[2].szProgressFile); i < 256; ++i) {
        ASSERT_EQ(0, after.astSlot[2].szProgressFile[i]);
    }
    ComponentProcess rec{};
    ASSERT_EQ(0u, FILEHANDLE_UploadDownloadProgress(3, &rec));
    EXPECT_EQ(1u, rec.uiStage);
    EXPECT_EQ(0u, rec.ucPercent);
    EXPECT_STREQ("File download or upload init", rec.szDescription);
    EXPECT_STREQ("In Transferring", rec.szStageDesc);
    EXPECT_NEAR(now, rec.uiTime, 2);
    EXPECT_EQ(0xbc00000du, FILEHANLE_IDdetifier_ProgessFile(&id));
    EXPECT_TRUE(Logged(2, "Error in getting file pathinfo from DB, iRet: 10."));
    EXPECT_TRUE(LockIsFree(FILEHANDLE_TASK_LOCK_NAME));
}

struct ExpiryCase {
    const char* name;
    uint32_t stage;
    int age;        // seconds since the last write; negative: in the future
    bool zeroTime;  // the record was never stamped
    bool expires;
};

TEST_F(TaskTableTest, ExpiryBoundaries) {
    const ExpiryCase cases[] = {
        {"ended 12 s ago stays", FILEHANDLE_STAGE_SUCCEED, 12, false, false},
        {"ended 13 s ago goes", FILEHANDLE_STAGE_SUCCEED, 13, false, true},
        {"failed 13 s ago goes", FILEHANDLE_STAGE_FAILED, 13, false, true},
        {"running 120 s stays", FILEHANDLE_STAGE_TRANSFERRING, 120, false, false},
        {"running 121 s goes", FILEHANDLE_STAGE_TRANSFERRING, 121, false, true},
        {"running 13 s stays", FILEHANDLE_STAGE_TRANSFERRING, 13, false, false},
        {"stage 0 at 121 s goes", FILEHANDLE_STAGE_NOT_SUPPORTED, 121, false, true},
        {"unknown stage 7 at 120 s stays", 7, 120, false, false},
        {"unknown stage 7 at 121 s goes", 7, 121, false, true},
        {"time 0 never expires", FILEHANDLE_STAGE_FAILED, 0, true, false},
        {"future time never expires", FILEHANDLE_STAGE_SUCCEED, -100, false, false},
    };
    for (const ExpiryCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        TaskTable t{};
        uint32_t now = FreezeClock();
        UseSlot(t, 4, c.stage, c.zeroTime ? 0 : now - c.age);
        UseSlot(t, 9, FILEHANDLE_STAGE_TRANSFERRING, now);  // a young neighbour always stays
        WriteTable(t);
        uint32_t freed = 77;
        FILEHANDLE_UploadDownloadDateClean(&freed);
        EXPECT_EQ(c.expires ? 1u : 0u, freed);
        TaskTable after = ReadTable();
        EXPECT_EQ(c.expires ? 0u : 4u, after.astSlot[3].uiIdentifier);
        EXPECT_EQ(!c.expires, FileExists(PathOf(4)));
        EXPECT_EQ(9u, after.astSlot[8].uiIdentifier);
        EXPECT_TRUE(Logged(6, "File transfer task clear " + std::to_string(freed) + "."));
    }
}

TEST_F(TaskTableTest, UnreadableProgressKeepsTheSlot) {
    TaskTable t{};
    uint32_t old = static_cast<uint32_t>(time(nullptr)) - 1000;
    UseSlot(t, 1, FILEHANDLE_STAGE_FAILED, old);
    UseSlot(t, 2, FILEHANDLE_STAGE_FAILED, old);
    unlink(PathOf(1).c_str());                   // missing file
    WriteFile(PathOf(2), std::string(10, 'x'));  // short record
    WriteTable(t);
    uint32_t freed = 5;
    FILEHANDLE_UploadDownloadDateClean(&freed);
    EXPECT_EQ(0u, freed);
    TaskTable after = ReadTable();
    EXPECT_EQ(1u, after.astSlot[0].uiIdentifier);
    EXPECT_EQ(2u, after.astSlot[1].uiIdentifier);
    EXPECT_TRUE(Logged(2, "Identifier: 1, Getting file transfer progress failed."));
    EXPECT_TRUE(Logged(2, "Identifier: 2, Getting file transfer progress failed."));
}

TEST_F(TaskTableTest, FullTablePurgesOnceThenRetries) {
    // All young: one expiry pass, nothing freed, no retry.
    TaskTable t{};
    uint32_t now = FreezeClock();
    for (uint32_t id = 1; id <= 10; ++id) {
        UseSlot(t, id, id % 2 ? FILEHANDLE_STAGE_SUCCEED : FILEHANDLE_STAGE_TRANSFERRING, now - 5);
    }
    WriteTable(t);
    uint32_t id = 0;
    EXPECT_EQ(0x3c000002u, FILEHANLE_ClearTasksAndConfigID(&id));
    EXPECT_EQ(1u, CountLogged("File transfer task clear 0."));
    EXPECT_EQ(1u, CountLogged("iRet: 10."));  // allocation tried once only

    // Identifier 5 ended 13 s ago: freed, and the retry takes it with the same path.
    ResetAll();
    now = FreezeClock();
    for (uint32_t i = 1; i <= 10; ++i) {
        UseSlot(t, i, i == 5 ? FILEHANDLE_STAGE_SUCCEED : FILEHANDLE_STAGE_TRANSFERRING,
                i == 5 ? now - 13 : now - 1);
    }
    WriteTable(t);
    id = 0;
    EXPECT_EQ(0u, FILEHANLE_ClearTasksAndConfigID(&id));
    EXPECT_EQ(5u, id);
    EXPECT_TRUE(Logged(6, "File transfer task clear 1."));
    EXPECT_TRUE(Logged(6, "Progress file creation success, Identifier: 5."));
    EXPECT_STREQ("/var/uploadDownload5.progress", ReadTable().astSlot[4].szProgressFile);
    ComponentProcess rec{};
    ASSERT_EQ(0u, FILEHANDLE_UploadDownloadProgress(5, &rec));
    EXPECT_STREQ("File download or upload init", rec.szDescription);

    EXPECT_EQ(0xbc000001u, FILEHANLE_ClearTasksAndConfigID(nullptr));
}

TEST_F(TaskTableTest, LookupListAndDelete) {
    TaskTable t{};
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    UseSlot(t, 2, FILEHANDLE_STAGE_TRANSFERRING, now);
    UseSlot(t, 7, FILEHANDLE_STAGE_TRANSFERRING, now);
    t.astSlot[4].uiIdentifier = 3;  // a slot holding another value is no task
    WriteTable(t);

    char path[256];
    EXPECT_EQ(0u, FILEHANDLE_GetProgressFile(7, path));
    EXPECT_STREQ("/var/uploadDownload7.progress", path);
    EXPECT_EQ(0xbc000009u, FILEHANDLE_GetProgressFile(5, path));
    EXPECT_EQ(0xbc000009u, FILEHANDLE_GetProgressFile(1, path));
    EXPECT_EQ(0xbc000002u, FILEHANDLE_GetProgressFile(0, path));
    EXPECT_EQ(0xbc000002u, FILEHANDLE_GetProgressFile(11, path));
    EXPECT_EQ(0xbc000001u, FILEHANDLE_GetProgressFile(2, nullptr));

    TransferTaskInfo info;
    memset(&info, 0xaa, sizeof info);
    ASSERT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
    ASSERT_EQ(3, info.ucTaskNum);  // 2, the odd slot holding 3, and 7
    EXPECT_EQ(2u, info.auiIdentifier[0]);
    EXPECT_EQ(3u, info.auiIdentifier[1]);
    EXPECT_EQ(7u, info.auiIdentifier[2]);
    EXPECT_EQ(0xaaaaaaaau, info.auiIdentifier[3]);
    EXPECT_EQ(0x3c000001u, FILEHANDLE_GetTransferTaskInfo(nullptr));

    struct {
        uint32_t id;
        uint32_t result;
    } deletes[] = {{0, 0x3c00040a},
                   {11, 0x3c00040a},
                   {0xffffffffu, 0x3c00040a},
                   {1, 0},  // free slot: succeeds, table unchanged
                   {5, 0},  // slot holding 3: left alone
                   {2, 0},
                   {7, 0}};
    for (auto& d : deletes) {
        SCOPED_TRACE(d.id);
        EXPECT_EQ(d.result, FILEHANDLE_DeleteProgressInfo(d.id));
    }
    EXPECT_EQ(4u, CountLogged("File upload and download task content cleared successfully"));
    EXPECT_FALSE(FileExists(PathOf(2)));
    EXPECT_FALSE(FileExists(PathOf(7)));
    TaskTable after = ReadTable();
    EXPECT_EQ(3u, after.astSlot[4].uiIdentifier);
    memset(&info, 0xaa, sizeof info);
    ASSERT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
    EXPECT_EQ(1, info.ucTaskNum);
    TaskTable zero{};
    WriteTable(zero);
    memset(&info, 0xaa, sizeof info);
    ASSERT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
    EXPECT_EQ(0, info.ucTaskNum);
    EXPECT_EQ(0xaaaaaaaau, info.auiIdentifier[0]);
    EXPECT_TRUE(LockIsFree(FILEHANDLE_TASK_LOCK_NAME));
}

TEST_F(TaskTableTest, DatabaseFaults) {
    uint32_t id = 0;
    faults().noDb = true;
    EXPECT_EQ(0xbc000002u, FILEHANLE_IDdetifier_ProgessFile(&id));
    EXPECT_EQ(0x3c000004u, FILEHANDLE_DeleteProgressInfo(1));
    TransferTaskInfo info{};
    EXPECT_EQ(0x3c000004u, FILEHANDLE_GetTransferTaskInfo(&info));
    char path[256];
    EXPECT_EQ(0xbc000003u, FILEHANDLE_GetProgressFile(1, path));
    uint32_t freed = 9;
    FILEHANDLE_UploadDownloadDateClean(&freed);
    EXPECT_EQ(9u, freed);  // no count without a database
    faults().noDb = false;

    faults().dbGetFails = true;
    EXPECT_EQ(0xbc000004u, FILEHANLE_IDdetifier_ProgessFile(&id));
    EXPECT_EQ(0x3c000006u, FILEHANDLE_DeleteProgressInfo(1));
    EXPECT_EQ(0x3c000006u, FILEHANDLE_GetTransferTaskInfo(&info));
    EXPECT_EQ(0xbc000004u, FILEHANDLE_GetProgressFile(1, path));
    faults().dbGetFails = false;

    faults().dbPutFails = true;
    id = 0;
    EXPECT_EQ(0xbc000005u, FILEHANLE_IDdetifier_ProgessFile(&id));
    EXPECT_EQ(1u, id);  // stored before the write failed
    EXPECT_FALSE(FileExists(PathOf(1)));
    EXPECT_EQ(0x3c000002u, FILEHANLE_ClearTasksAndConfigID(&id));
    EXPECT_EQ(0x3c000005u, FILEHANDLE_DeleteProgressInfo(1));
    faults().dbPutFails = false;
    EXPECT_EQ(0u, ReadTable().astSlot[0].uiIdentifier);
    EXPECT_TRUE(LockIsFree(FILEHANDLE_TASK_LOCK_NAME));
}

TEST_F(TaskTableTest, ProcessesNeverShareAnIdentifier) {
    // Four processes allocate at once, ten slots between them: every identifier is
    // handed out exactly once and the rest are told the table is full.
    const int kProcs = 4, kEach = 4;
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            for (int i = 0; i < kEach; ++i) {
                uint32_t id = 0;
                uint32_t rc = FILEHANLE_IDdetifier_ProgessFile(&id);
                uint32_t out = rc == 0 ? id : 0;
                if (write(fds[1], &out, sizeof out) != sizeof out) {
                    _exit(2);
                }
            }
            _exit(0);
        }
        kids.push_back(pid);
    }
    close(fds[1]);
    std::multiset<uint32_t> got;
    uint32_t v;
    while (read(fds[0], &v, sizeof v) == sizeof v) {
        got.insert(v);
    }
    close(fds[0]);
    for (pid_t k : kids) {
        int st = 0;
        waitpid(k, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    ASSERT_EQ(static_cast<size_t>(kProcs * kEach), got.size());
    EXPECT_EQ(static_cast<size_t>(kProcs * kEach - 10), got.count(0));
    for (uint32_t id = 1; id <= 10; ++id) {
        EXPECT_EQ(1u, got.count(id)) << id;
    }
    TransferTaskInfo info{};
    ASSERT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
    EXPECT_EQ(10, info.ucTaskNum);
}
