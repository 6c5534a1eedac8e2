// The transfer entry and the worker frame: bad input and faults through the platform
// seam. Each must give its result and leave no slot, progress file, thread or lock.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "tests/support.h"

using namespace fhtest;

namespace {

class EntryTest : public FhTest {};

// Nothing of a task remains: no used slot, no progress file, no worker, lock free.
void ExpectNothingLeft() {
    EXPECT_TRUE(WaitForWorkers());
    TransferTaskInfo info{};
    ASSERT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
    EXPECT_EQ(0, info.ucTaskNum);
    for (int id = 1; id <= 10; ++id) {
        EXPECT_FALSE(FileExists("/var/uploadDownload" + std::to_string(id) + ".progress")) << id;
    }
    EXPECT_TRUE(LockIsFree(FILEHANDLE_TASK_LOCK_NAME));
}

using Pair = std::pair<std::string, std::string>;

}  // namespace

// Starts that are refused or fail before a worker runs: the result, the identifier handed
// back, the one event (or none), no thread and nothing of the task left.
TEST_F(EntryTest, StartRefusalsAndFaults) {
    const char* kInit = "File upload and download initialization failed";
    struct Case {
        std::string name;
        uint8_t protocol;
        std::atomic<bool>* fault;  // null: none
        uint32_t result, idAfter;
        const char* event;  // null: none
    };
    std::vector<Case> cases = {
        {"no database", 0, &faults().noDb, FILEHANDLE_E_ENTRY_NO_DB, 55, nullptr},
        {"thread not created", 0, &faults().threadCreateFails, FILEHANDLE_E_START_FAILED, 1, kInit},
        {"table unreadable", 0, &faults().dbGetFails, FILEHANDLE_E_NO_TASK, 0, kInit},
        {"table unwritable", 0, &faults().dbPutFails, FILEHANDLE_E_NO_TASK, 0, kInit},
    };
    for (uint8_t code : {5, 6, 9, 200, 255}) {  // the identifier is the deleted task's
        cases.push_back({"protocol " + std::to_string(code), code, nullptr,
                         FILEHANDLE_E_BAD_PROTOCOL, 1, "File transfer protocol not supported"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        int threads = ThreadCount();
        ComponentInfo r = MakeRequest(c.protocol, 1, "http://127.0.0.1:1/fw.bin", "/tmp/f/fw.bin");
        uint32_t id = 55;
        if (c.fault != nullptr) {
            *c.fault = true;
        }
        EXPECT_EQ(c.result, FILEHANDLE_UploadDownloadFileImage(&r, &id));
        if (c.fault != nullptr) {
            *c.fault = false;
        }
        EXPECT_EQ(c.idAfter, id);
        std::vector<Pair> want;
        if (c.event != nullptr) {
            want.emplace_back("fw.bin", c.event);
        }
        EXPECT_EQ(want, EventTexts());
        EXPECT_EQ(threads, ThreadCount());
        ExpectNothingLeft();
    }
    ResetAll();
    ComponentInfo r = MakeRequest(0, 1, "http://127.0.0.1:1/x", "/tmp/x");
    uint32_t id = 77;
    EXPECT_EQ(FILEHANDLE_E_ENTRY_NULL_ARGUMENT, FILEHANDLE_UploadDownloadFileImage(nullptr, &id));
    EXPECT_EQ(FILEHANDLE_E_ENTRY_NULL_ARGUMENT, FILEHANDLE_UploadDownloadFileImage(&r, nullptr));
    EXPECT_EQ(77u, id);
    EXPECT_TRUE(Events().empty());
}

TEST_F(EntryTest, FreshDatabaseGetsItsTableFirst) {
    // In a child with a database of its own: the entry writes an empty table, then
    // allocates identifier 1; if that write fails the result is FILEHANDLE_E_DB_WRITE.
    for (bool putFails : {false, true}) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (unshare(CLONE_NEWNS) != 0 || mount("fh-db", "/var/lib", "tmpfs", 0, nullptr) != 0) {
                _exit(10);
            }
            faults().dbPutFails = putFails;
            ComponentInfo r = MakeRequest(5, 1, "x", "/tmp/a");
            uint32_t id = 99;
            uint32_t rc = FILEHANDLE_UploadDownloadFileImage(&r, &id);
            _exit(putFails ? !(rc == FILEHANDLE_E_DB_WRITE && id == 0)
                           : !(rc == FILEHANDLE_E_BAD_PROTOCOL && id == 1));
        }
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << putFails;
    }
}

// Tasks that start and then fail in their worker: a handle type that is neither download
// nor upload (each member fails it with its own description; the events name no file), and
// libcurl that cannot start.
TEST_F(EntryTest, WorkersFailBadTasks) {
    const std::string kB = "File download or upload failed,because:";
    const std::string kSp = "File download or upload failed, because: ";
    const std::string kEntry = kB + "connection parameter parsing error";
    const struct {
        uint8_t protocol, type;
        uint32_t result;
        std::string desc;
        const char* workerEvent;  // after the entry's; null: none; empty: the description
    } cases[] = {
        {FILEHANDLE_PROTOCOL_HTTP, 3, FILEHANDLE_E_PARAMETER,
         kSp + "http connection parameter parsing error", nullptr},
        {FILEHANDLE_PROTOCOL_SFTP, 3, FILEHANDLE_E_PARAMETER,
         kB + "sftp connection parameter parsing error", ""},
        {FILEHANDLE_PROTOCOL_SCP, 3, FILEHANDLE_E_PARAMETER,
         kB + "scp connection parameter parsing err", ""},
        {FILEHANDLE_PROTOCOL_FTP, 3, FILEHANDLE_E_PARAMETER,
         kB + "ftp connection parameter parsing error", ""},
        {FILEHANDLE_PROTOCOL_TFTP, 3, FILEHANDLE_E_TRANSFER_FAILED,
         kSp + "tftp connection parameter parsing error",
         "File download or upload failed, because: connection parameter parsing error"},
        // The mount members run their routine whatever the type (a remote path without '/'
        // stops it before any mount), then fail the task whatever the routine returned.
        {FILEHANDLE_PROTOCOL_NFS, 3, FILEHANDLE_E_PARAMETER, kEntry, ""},
        {FILEHANDLE_PROTOCOL_CIFS, 3, FILEHANDLE_E_PARAMETER, kEntry, ""},
        // libcurl cannot start: the one event is the worker's, for the file.
        {FILEHANDLE_PROTOCOL_HTTP, 1, FILEHANDLE_E_TRANSFER_FAILED, kSp + "curl_easy_init failed",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.desc);
        ResetAll();
        ComponentInfo r = MakeRequest(c.protocol, c.type, "127.0.0.1", "/tmp/fw.bin");
        std::vector<Pair> events;
        if (c.type == 3) {
            strcpy(r.szStorageAddress, "fw.bin");
            events.emplace_back("Unknown", kEntry);
        }
        if (c.workerEvent != nullptr) {
            events.emplace_back(c.type == 3 ? "Unknown" : "fw.bin",
                                *c.workerEvent != '\0' ? c.workerEvent : c.desc);
        }
        faults().curlInitFails = c.type == 1;
        uint32_t id = 0;
        ASSERT_EQ(0u, FILEHANDLE_UploadDownloadFileImage(&r, &id));
        ComponentProcess rec = WaitForEnd(id);
        faults().curlInitFails = false;
        EXPECT_EQ(3u, rec.uiStage);
        EXPECT_EQ(c.result, rec.uiResultCode);
        EXPECT_EQ(c.desc, rec.szDescription);
        EXPECT_TRUE(Commands().empty()) << "a mount ran";
        EXPECT_TRUE(TftpBridgeCalls().transferPorts.empty());
        EXPECT_EQ(events, EventTexts());
        EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
        ExpectNothingLeft();
    }
}

// The worker refuses a request whose identifier is out of range, or whose slot is free or
// names another task (another identifier, or another task's progress file): it runs
// nothing and writes no record.
TEST_F(EntryTest, ThreadBodyRefusesForeignOrBadTasks) {
    const char* kRange = "ulIdentifier is 0 or FILEHANDLE_THREAD_MAX.";
    const std::pair<uint32_t, const char*> cases[] = {
        {0, kRange}, {11, kRange}, {2, nullptr}, {3, nullptr}, {4, nullptr}};
    uint32_t id = 0;
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));  // identifier 1 exists
    TaskTable t = ReadTable();
    t.astSlot[2] = t.astSlot[0];  // slot 3 holds task 1
    t.astSlot[3] = t.astSlot[0];  // slot 4 holds task 4 with task 1's file
    t.astSlot[3].uiIdentifier = 4;
    WriteTable(t);
    std::string before = ReadFile("/var/uploadDownload1.progress");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        auto* copy = static_cast<ComponentInfo*>(calloc(1, sizeof(ComponentInfo)));
        *copy = MakeRequest(0, 1, "http://127.0.0.1:1/x", "/tmp/x");
        copy->uiIdentifier = c.first;
        // Runs on a thread of its own (it renames its thread) and frees the copy.
        std::thread([copy] { EXPECT_EQ(nullptr, HttpThread(copy)); }).join();
        EXPECT_TRUE(Logged(2, c.second ? c.second
                                       : "Error in getting file pathinfo from DB, uiIdentifier: " +
                                             std::to_string(c.first) + "."));
        EXPECT_EQ(before, ReadFile("/var/uploadDownload1.progress"));
        EXPECT_FALSE(FileExists("/var/uploadDownload" + std::to_string(c.first) + ".progress"));
    }
    std::thread([] { EXPECT_EQ(nullptr, HttpThread(nullptr)); }).join();
    EXPECT_EQ(FILEHANDLE_IN_NULL_POINTER, HTTP_UploadDownloadFile(nullptr));
    EXPECT_TRUE(Events().empty());
}

TEST_F(EntryTest, ErrorMappingAndDataCallbacks) {
    const std::pair<int, uint32_t> map[] = {
        {0, FILEHANDLE_E_TRANSFER_FAILED},   {7, FILEHANDLE_E_COULD_NOT_CONNECT},
        {78, FILEHANDLE_E_REMOTE_NOT_FOUND}, {6, FILEHANDLE_E_TRANSFER_FAILED},
        {28, FILEHANDLE_E_TRANSFER_FAILED},  {67, FILEHANDLE_E_TRANSFER_FAILED},
        {-1, FILEHANDLE_E_TRANSFER_FAILED}};
    for (auto& m : map) {
        EXPECT_EQ(m.second, CURLCode_Convert_External_ErrorCode(m.first)) << m.first;
    }
    char buf[512];
    memset(buf, 0x33, sizeof buf);
    EXPECT_EQ(512u, FTP_DropData(buf, 1, 512, nullptr));
    EXPECT_EQ(0u, FTP_DropData(buf, 1, 0, nullptr));
    EXPECT_EQ(0x33, buf[0]);
    EXPECT_EQ(23u, DownLoadFileByCurlFunc(buf, 1, 10, nullptr));
    EXPECT_EQ(23u, CurlFileRead_CallBack(nullptr, 1, 10, stdin));
}

TEST_F(EntryTest, TftpPathLengthLimit) {
    // 241 characters in either path fails the start; 240 starts the task (whose transfer
    // then fails at once: libcurl is made to fail inside the TFTP bridge).
    const struct {
        size_t readLen, storeLen;
        uint32_t result;
        const char* reason;
    } cases[] = {
        {241, 10, FILEHANDLE_E_START_FAILED, "File upload and download initialization failed"},
        {10, 241, FILEHANDLE_E_START_FAILED, "File upload and download initialization failed"},
        {240, 240, 0,
         "File download or upload failed, because: The Remote file does not exist or the ip is "
         "wrong"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.readLen * 1000 + c.storeLen);
        ResetAll();
        std::string store = "/var/tmp/" + std::string(c.storeLen - 9, 's');
        ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_TFTP, 1, "127.0.0.1", store);
        memcpy(r.szReadAddress, std::string(c.readLen, 'r').data(), c.readLen);
        uint32_t id = 0;
        faults().curlInitFails = true;
        EXPECT_EQ(c.result, FILEHANDLE_UploadDownloadFileImage(&r, &id));
        EXPECT_EQ(1u, id);
        if (c.result == 0) {
            EXPECT_EQ(FILEHANDLE_E_REMOTE_MISSING, WaitForEnd(id).uiResultCode);
            EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
            EXPECT_FALSE(FileExists(store));
        }
        faults().curlInitFails = false;
        auto ev = EventTexts();
        ASSERT_EQ(1u, ev.size());
        EXPECT_EQ(c.reason, ev[0].second);
        ExpectNothingLeft();
    }
}

// A null pointer is reported first, at level 7, under the name of the argument and of the
// exported function the caller called (never of a helper inside it). kAny: a result that
// other tests check.
TEST_F(EntryTest, NullPointersEverywhere) {
    constexpr uint32_t kAny = 0xffffffffu;
    ComponentInfo req = MakeRequest(0, 1, "http://127.0.0.1:1/x", "/tmp/x");
    RedfishInfo info{};
    uint32_t u = 0;
    char desc[1024];
    const struct {
        const char* argument;
        const char* func;
        std::function<uint32_t()> run;
        uint32_t result;
    } cases[] = {
        {"puiIdentifier", "FILEHANLE_ClearTasksAndConfigID",
         [] { return FILEHANLE_ClearTasksAndConfigID(nullptr); }, FILEHANDLE_IN_NULL_POINTER},
        {"puiTaskNum", "FILEHANDLE_UploadDownloadDateClean",
         [] { return FILEHANDLE_UploadDownloadDateClean(nullptr), 0u; }, 0},
        {"pstComponentProcess", "FILEHANDLE_UploadDownloadProgress",
         [] { return FILEHANDLE_UploadDownloadProgress(1, nullptr); }, FILEHANDLE_E_NULL_ARGUMENT},
        {"pstTransferTaskInfo", "FILEHANDLE_GetTransferTaskInfo",
         [] { return FILEHANDLE_GetTransferTaskInfo(nullptr); }, FILEHANDLE_E_NULL_ARGUMENT},
        {"pcProgressFilePath", "FILEHANDLE_GetProgressFile",
         [] { return FILEHANDLE_GetProgressFile(1, nullptr); }, FILEHANDLE_IN_NULL_POINTER},
        {"pstComponentInfo", "HTTP_UploadDownloadFile",
         [] { return HTTP_UploadDownloadFile(nullptr); }, FILEHANDLE_IN_NULL_POINTER},
        {"pstComponentInfo", "Mount_CIFSNFSUploadDownloadFile",
         [] { return Mount_CIFSNFSUploadDownloadFile(nullptr); }, FILEHANDLE_IN_NULL_POINTER},
        {"pstRedfishInfo", "FILEHANDLE_ParseRedfishStruct",
         [&] { return FILEHANDLE_ParseRedfishStruct(nullptr, &req); }, FILEHANDLE_IN_NULL_POINTER},
        {"puiFileSize", "FILEHANDLE_GetRemoteFileSize",
         [&] { return FILEHANDLE_GetRemoteFileSize(&info, nullptr); }, FILEHANDLE_NULL_REQUEST},
        {"pstRedfishInfo", "FILEHANDLE_UploadDownloadFile",
         [] { return FILEHANDLE_UploadDownloadFile(nullptr, 5); }, FILEHANDLE_NULL_REQUEST},
        {"pcRedfishCmd", "FILEHANDLE_UploadLogo",
         [&] { return FILEHANDLE_UploadLogo(nullptr, &u, &u); }, FILEHANDLE_E_LOGO_NULL_ARGUMENT},
        {"pstFdRead", "MOUNT_FileReadWrite",
         [] { return MOUNT_FileReadWrite(nullptr, stdin, "/tmp/p", 1); }, kAny},
        {"pstComponentInfo", "MOUNT_UploadDownloadFile",
         [&] { return MOUNT_UploadDownloadFile(nullptr, "/tmp/p", desc); }, kAny},
        {"piFileSize", "Mount_GetRemoteFileSize",
         [&] { return Mount_GetRemoteFileSize(&req, nullptr); }, kAny},
        {"pcMountFilePath", "UMOUNT_UploadDownloadClean",
         [] { return UMOUNT_UploadDownloadClean(nullptr), 0u; }, 0},
        {"pcHostsys", "TFTP_FileUploadDownload",
         [] { return TFTP_FileUploadDownload(nullptr, 0, "a", "b", "/tmp/p", 1); }, kAny},
        {"pcTaskDesc", "HTTP_DownLoadFileByCurl",
         [&] { return HTTP_DownLoadFileByCurl(&req, nullptr); }, FILEHANDLE_E_NULL_ARGUMENT},
        {"piFileSize", "FTP_GetRemoteFileSize",
         [&] { return FTP_GetRemoteFileSize(&req, nullptr); }, FILEHANDLE_IN_NULL_POINTER},
        {"pcFilePathName", "FILEHANDLE_AddSdl_TaskExecutionFailed",
         [] { return FILEHANDLE_AddSdl_TaskExecutionFailed(nullptr, "x"), 0u; }, 0},
        {"pstComponentProcess", "FILEHANDLE_UploadDownloadSetProgress",
         [] { return FILEHANDLE_UploadDownloadSetProgress(nullptr, "/tmp/p"), 0u; }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.func);
        ResetAll();
        uint32_t rc = c.run();
        EXPECT_TRUE(c.result == kAny || c.result == rc) << std::hex << rc;
        auto logs = Logs();
        ASSERT_FALSE(logs.empty());
        EXPECT_EQ(7u, logs[0].level);
        EXPECT_EQ(0u, logs[0].module);
        std::string want = std::string("Pointer ") + c.argument +
                           " is Null, File:filehandle_ulanddl Func:" + c.func + " Line:";
        EXPECT_EQ(0u, logs[0].text.rfind(want, 0)) << logs[0].text;
    }
    EXPECT_EQ(FILEHANDLE_IN_BAD_ARGUMENT, FILEHANLE_IDdetifier_ProgessFile(nullptr));
    ExpectNothingLeft();
}

// Every transfer routine refuses a null request or text buffer, and a local file that it
// cannot open before it connects anywhere (port 1 would refuse anyway). A hand-built
// request reaches no protocol but the routine's own, and no credential with a line break
// reaches libcurl: a file:// URL neither reads nor writes a local file.
TEST_F(EntryTest, CurlRoutinesSpeakOnlyTheirProtocols) {
    const char* kDl = "File download or upload failed,because:Failed to open download file";
    const char* kUp = "File download or upload failed,because:%s open failed";
    const char* kUpSp = "File download or upload failed, because: %s open failed";
    const struct {
        std::function<uint32_t(ComponentInfo*, char*)> run;
        uint8_t type;
        const char* openReason;  // %s: the local path; null: opened only once mounted
    } cases[] = {
        {HTTP_DownLoadFileByCurl, 1,
         "File download or upload failed, because: Failed to open download file"},
        {HTTP_UploadFileByCurl, 2, kUpSp},
        {SFTP_DownLoadFileByCurl, 1,
         "File download or upload failed,because:Failed to open download file."},
        {SFTP_UploadFileByCurl, 2, kUpSp},
        {SCP_DownLoadFileByCurl, 1, kDl},
        {SCP_UploadFileByCurl, 2, kUp},
        {FTP_DownLoadFileByCurl, 1, kDl},
        {FTP_UploadFileByCurl, 2, kUp},
        {[](ComponentInfo* r, char* d) { return MOUNT_UploadDownloadFile(r, "/var/p", d); }, 1,
         nullptr},
    };
    const std::string path = "/var/tmp/no/such/dir/f.bin";
    WriteFile("/var/tmp/secret", "secret");
    WriteFile("/var/tmp/src.bin", "data");
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        ResetAll();
        char desc[1024] = {0};
        ComponentInfo req = MakeRequest(2, c.type, "sftp://127.0.0.1:1/x", path);
        EXPECT_EQ(FILEHANDLE_E_NULL_ARGUMENT, c.run(nullptr, desc));
        EXPECT_EQ(FILEHANDLE_E_NULL_ARGUMENT, c.run(&req, nullptr));
        EXPECT_STREQ("", desc);
        if (c.openReason == nullptr) {
            continue;
        }
        EXPECT_EQ(FILEHANDLE_E_LOCAL_FILE, c.run(&req, desc));
        char want[1024];
        snprintf(want, sizeof want, c.openReason, path.c_str());
        EXPECT_STREQ(want, desc);
        EXPECT_EQ(0u, CountLogged("curl_easy_perform"));  // no connection was tried
        for (const char* url : {"file:///var/tmp/secret", "dict://127.0.0.1:1/x",
                                "gopher://127.0.0.1:1/_x", "ftp://u:p@127.0.0.1:1/x"}) {
            SCOPED_TRACE(url);
            ComponentInfo r =
                MakeRequest(0, c.type, url, c.type == 1 ? "/var/tmp/out.bin" : "/var/tmp/src.bin");
            const bool lineBreak = strncmp(url, "ftp:", 4) == 0;
            if (lineBreak) {
                strcpy(r.szPassword, "p\r\nDELE x");
                strcpy(r.szHttpPassword, "p\r\nX-A: b");
            }
            uint32_t rc = c.run(&r, desc);
            EXPECT_NE(0u, rc);
            EXPECT_TRUE(!lineBreak || rc == FILEHANDLE_E_PARAMETER) << rc;
            EXPECT_NE("secret", ReadFile("/var/tmp/out.bin"));
            EXPECT_EQ("secret", ReadFile("/var/tmp/secret"));
        }
    }
    ComponentInfo r{};
    char desc[1024];
    EXPECT_EQ(FILEHANDLE_E_NULL_ARGUMENT, MOUNT_UploadDownloadFile(&r, nullptr, desc));
}

// Another local user plants links and files where the library creates or opens its own,
// or holds its lock: the library refuses, or replaces what was planted, or times out, and
// never writes through a link.
TEST_F(EntryTest, PlantedLinksAndLocksOfAnotherUser) {
    WriteTable(TaskTable{});
    WriteFile("/var/tmp/victim", "victim");
    mkdir("/var/tmp/victimdir", 0755);
    ASSERT_EQ(0, system("mkdir -p /var/lock && chmod 1777 /var /var/tmp /var/lock && rm -rf "
                        "/var/lock/" FILEHANDLE_TASK_LOCK_NAME " /var/confbup_tmp3"));
    pid_t planter = fork();  // the other user, "nobody"
    if (planter == 0) {
        _exit(setgid(65534) != 0 || setuid(65534) != 0 ||
              symlink("/var/tmp/victim", "/var/lock/" FILEHANDLE_TASK_LOCK_NAME) != 0 ||
              symlink("/var/tmp/victimdir", "/var/confbup_tmp3") != 0 ||
              symlink("/var/tmp/victim", "/var/tmp/planted.bin") != 0);
    }
    int status = -1;
    waitpid(planter, &status, 0);
    ASSERT_EQ(0, status);
    // The lock file link is replaced by a private file of ours.
    uint32_t id = 0;
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
    EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
    struct stat st {};
    ASSERT_EQ(0, lstat("/var/lock/" FILEHANDLE_TASK_LOCK_NAME, &st));
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & 077) == 0);
    // A planted mount directory is refused; a download never writes through a link.
    ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_NFS, 1, "127.0.0.1", "/var/tmp/planted.bin");
    strcpy(r.szStorageAddress, "/export/f");
    r.uiIdentifier = 3;
    char desc[1024] = {0};
    EXPECT_EQ(FILEHANDLE_E_TRANSFER_FAILED,
              MOUNT_UploadDownloadFile(&r, "/var/nothing.progress", desc));
    EXPECT_TRUE(Commands().empty());
    r = MakeRequest(0, 1, "http://127.0.0.1:1/f", "/var/tmp/planted.bin");
    EXPECT_EQ(FILEHANDLE_E_LOCAL_FILE, HTTP_DownLoadFileByCurl(&r, desc));
    EXPECT_EQ("victim", ReadFile("/var/tmp/victim"));
    // A lock held by another user's process: the call gives up after the lock's wait.
    unlink("/var/lock/" FILEHANDLE_TASK_LOCK_NAME);
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t holder = fork();
    if (holder == 0) {
        int fd = open("/var/lock/" FILEHANDLE_TASK_LOCK_NAME, O_RDWR | O_CREAT, 0600);
        (void)flock(fd, LOCK_EX);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    time_t start = time(nullptr);
    EXPECT_EQ(FILEHANDLE_IN_DB_READ, FILEHANLE_IDdetifier_ProgessFile(&id));
    EXPECT_LE(time(nullptr) - start, 20);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));  // free again at once
    EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
    EXPECT_EQ(0, system("rm -rf /var/confbup_tmp3 /var/tmp/planted.bin /var/tmp/victim*; chmod 755 "
                        "/var /var/tmp"));
}
