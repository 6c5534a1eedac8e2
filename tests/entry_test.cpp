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

}  // namespace

TEST_F(EntryTest, NullArgumentsAndNoDatabase) {
    ComponentInfo r = MakeRequest(0, 1, "http://127.0.0.1:1/x", "/tmp/x");
    uint32_t id = 77;
    EXPECT_EQ(0x3c000401u, FILEHANDLE_UploadDownloadFileImage(nullptr, &id));
    EXPECT_EQ(0x3c000401u, FILEHANDLE_UploadDownloadFileImage(&r, nullptr));
    EXPECT_EQ(
        2u, CountLogged(
                "FILEHANDLE_UploadDownloadFileImage: pstComponentInfo or puiIdentifier is NULL."));
    faults().noDb = true;
    EXPECT_EQ(0x3c000604u, FILEHANDLE_UploadDownloadFileImage(&r, &id));
    EXPECT_TRUE(Logged(2, "FILEHANDLE_UploadDownloadFileImage: pDb is NULL."));
    faults().noDb = false;
    EXPECT_EQ(77u, id);
    EXPECT_TRUE(Events().empty());
    ExpectNothingLeft();
}

TEST_F(EntryTest, UnsupportedProtocolCodes) {
    for (uint8_t code : {5, 6, 9, 200, 255}) {
        SCOPED_TRACE(static_cast<int>(code));
        ResetAll();
        ComponentInfo r = MakeRequest(code, 1, "x", "/tmp/dir/fw.bin");
        uint32_t id = 0;
        EXPECT_EQ(0x3c000403u, FILEHANDLE_UploadDownloadFileImage(&r, &id));
        EXPECT_EQ(1u, id);  // the identifier of the deleted task
        EXPECT_TRUE(Logged(2, "not supported this protocol type " + std::to_string(code)));
        auto ev = EventTexts();
        ASSERT_EQ(1u, ev.size());
        EXPECT_EQ("fw.bin", ev[0].first);
        EXPECT_EQ("File transfer protocol not supported", ev[0].second);
        ExpectNothingLeft();
    }
}

TEST_F(EntryTest, StartFaults) {
    struct Case {
        const char* name;
        std::atomic<bool>* fault;
        uint32_t result;
        uint32_t idAfter;
        const char* event;  // null: none
    };
    const Case cases[] = {
        {"thread not created", &faults().threadCreateFails, 0x3c000002, 1,
         "File upload and download initialization failed"},
        {"table unreadable", &faults().dbGetFails, 0x3c000402, 0,
         "File upload and download initialization failed"},
        {"table unwritable", &faults().dbPutFails, 0x3c000402, 0,
         "File upload and download initialization failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        int threads = ThreadCount();
        ComponentInfo r = MakeRequest(0, 1, "http://127.0.0.1:1/fw.bin", "/tmp/fault/fw.bin");
        uint32_t id = 55;
        *c.fault = true;
        EXPECT_EQ(c.result, FILEHANDLE_UploadDownloadFileImage(&r, &id));
        *c.fault = false;
        EXPECT_EQ(c.idAfter, id);
        auto ev = EventTexts();
        ASSERT_EQ(1u, ev.size());
        EXPECT_EQ("fw.bin", ev[0].first);
        EXPECT_EQ(c.event, ev[0].second);
        EXPECT_EQ(threads, ThreadCount());
        ExpectNothingLeft();
    }
}

TEST_F(EntryTest, FreshDatabaseGetsItsTableFirst) {
    // In a child with a database of its own: the entry writes an empty table, then
    // allocates identifier 1; if that write fails the result is 0x3c000005.
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
            if (putFails) {
                _exit(rc == 0x3c000005 && id == 0 ? 0 : 1);
            }
            _exit(rc == 0x3c000403 && id == 1 ? 0 : 1);
        }
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st)) << putFails;
        EXPECT_EQ(0, WEXITSTATUS(st)) << putFails;
    }
}

// A handle type that is neither download nor upload still starts a task; each member's worker
// fails it with its own description, and the event names no file ("Unknown").
TEST_F(EntryTest, InvalidHandleTypeFailsInEveryMember) {
    const char* kEntryEvent =
        "File download or upload failed,because:connection parameter parsing error";
    struct Case {
        uint8_t protocol;
        uint32_t result;
        const char* desc;
        const char* event;  // the worker's event; null: the entry's is the only one
    };
    const Case cases[] = {
        {FILEHANDLE_PROTOCOL_HTTP, 0x3c00000e,
         "File download or upload failed, because: http connection parameter parsing error",
         nullptr},
        {FILEHANDLE_PROTOCOL_SFTP, 0x3c00000e,
         "File download or upload failed,because:sftp connection parameter parsing error",
         "File download or upload failed,because:sftp connection parameter parsing error"},
        {FILEHANDLE_PROTOCOL_SCP, 0x3c00000e,
         "File download or upload failed,because:scp connection parameter parsing err",
         "File download or upload failed,because:scp connection parameter parsing err"},
        {FILEHANDLE_PROTOCOL_FTP, 0x3c00000e,
         "File download or upload failed,because:ftp connection parameter parsing error",
         "File download or upload failed,because:ftp connection parameter parsing error"},
        {FILEHANDLE_PROTOCOL_TFTP, 0x3c00000f,
         "File download or upload failed, because: tftp connection parameter parsing error",
         "File download or upload failed, because: connection parameter parsing error"},
        // The mount members run their routine whatever the type (a remote path without '/'
        // stops it before any mount), then fail the task whatever the routine returned.
        {FILEHANDLE_PROTOCOL_NFS, 0x3c00000e, kEntryEvent, kEntryEvent},
        {FILEHANDLE_PROTOCOL_CIFS, 0x3c00000e, kEntryEvent, kEntryEvent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.protocol));
        ResetAll();
        ComponentInfo r = MakeRequest(c.protocol, 3, "127.0.0.1", "/tmp/fw.bin");
        strcpy(r.szStorageAddress, "fw.bin");
        uint32_t id = 0;
        ASSERT_EQ(0u, FILEHANDLE_UploadDownloadFileImage(&r, &id));
        ComponentProcess rec = WaitForEnd(id);
        EXPECT_EQ(3u, rec.uiStage);
        EXPECT_EQ(c.result, rec.uiResultCode);
        EXPECT_STREQ(c.desc, rec.szDescription);
        EXPECT_TRUE(Commands().empty()) << "a mount ran";
        EXPECT_TRUE(TftpBridgeCalls().transferPorts.empty());
        auto ev = EventTexts();
        ASSERT_EQ(c.event != nullptr ? 2u : 1u, ev.size());
        EXPECT_EQ(std::make_pair(std::string("Unknown"), std::string(kEntryEvent)), ev[0]);
        if (c.event != nullptr) {
            EXPECT_EQ(std::make_pair(std::string("Unknown"), std::string(c.event)), ev[1]);
        }
        EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
    }
}

TEST_F(EntryTest, CurlInitFailureEndsTheTask) {
    ComponentInfo r = MakeRequest(0, 1, "http://127.0.0.1:1/fw.bin", "/tmp/curlinit/fw.bin");
    faults().curlInitFails = true;
    uint32_t id = 0;
    ASSERT_EQ(0u, FILEHANDLE_UploadDownloadFileImage(&r, &id));
    ComponentProcess rec = WaitForEnd(id);
    faults().curlInitFails = false;
    EXPECT_EQ(3u, rec.uiStage);
    EXPECT_EQ(0x3c00000fu, rec.uiResultCode);
    EXPECT_STREQ("File download or upload failed, because: curl_easy_init failed",
                 rec.szDescription);
    EXPECT_TRUE(Logged(2, "HTTP_DownLoadFileByCurl: curl_easy_init failed!"));
    auto ev = EventTexts();
    ASSERT_EQ(1u, ev.size());
    EXPECT_EQ("fw.bin", ev[0].first);
    EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
    ExpectNothingLeft();
}

TEST_F(EntryTest, ThreadBodyRefusesForeignOrBadTasks) {
    struct Case {
        const char* name;
        uint32_t identifier;
        const char* log;
    };
    const Case cases[] = {
        {"identifier 0", 0, "ulIdentifier is 0 or FILEHANDLE_THREAD_MAX."},
        {"identifier 11", 11, "ulIdentifier is 0 or FILEHANDLE_THREAD_MAX."},
        {"slot of another task", 2, "Error in getting file pathinfo from DB, uiIdentifier: 2."},
    };
    uint32_t id = 0;
    ASSERT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));  // identifier 1 exists
    std::string before = ReadFile("/var/uploadDownload1.progress");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto* copy = static_cast<ComponentInfo*>(calloc(1, sizeof(ComponentInfo)));
        *copy = MakeRequest(0, 1, "http://127.0.0.1:1/x", "/tmp/x");
        copy->uiIdentifier = c.identifier;
        // Runs on a thread of its own (it renames its thread) and frees the copy.
        std::thread([copy] { EXPECT_EQ(nullptr, HttpThread(copy)); }).join();
        EXPECT_TRUE(Logged(2, c.log));
        EXPECT_EQ(before, ReadFile("/var/uploadDownload1.progress"));
    }
    std::thread([] { EXPECT_EQ(nullptr, HttpThread(nullptr)); }).join();
    EXPECT_TRUE(Logged(2, "HttpThread:pArg is NULL."));
    EXPECT_EQ(0xbc000001u, HTTP_UploadDownloadFile(nullptr));
    EXPECT_TRUE(Events().empty());
}

TEST_F(EntryTest, ErrorMappingAndDataCallbacks) {
    struct {
        int code;
        uint32_t result;
    } map[] = {{0, 0x3c00000f},  {7, 0x3c000010},  {78, 0x3c000011}, {6, 0x3c00000f},
               {28, 0x3c00000f}, {67, 0x3c00000f}, {-1, 0x3c00000f}};
    for (auto& m : map) {
        EXPECT_EQ(m.result, CURLCode_Convert_External_ErrorCode(m.code)) << m.code;
    }
    char buf[512];
    memset(buf, 0x33, sizeof buf);
    EXPECT_EQ(512u, FTP_DropData(buf, 1, 512, nullptr));
    EXPECT_EQ(0u, FTP_DropData(buf, 1, 0, nullptr));
    EXPECT_EQ(0x33, buf[0]);
    EXPECT_EQ(23u, DownLoadFileByCurlFunc(buf, 1, 10, nullptr));
    EXPECT_EQ(1u, CountLogged("DownLoadFileByCurlFunc: Input pointer is null."));
    EXPECT_EQ(23u, CurlFileRead_CallBack(nullptr, 1, 10, stdin));
    EXPECT_EQ(1u, CountLogged("CurlFileRead_CallBack: Input pointer is null."));
}

TEST_F(EntryTest, TftpPathLengthLimit) {
    // 241 characters in either path fails the start; 240 starts the task (whose transfer
    // then fails at once: libcurl is made to fail inside the TFTP bridge).
    struct Case {
        size_t readLen, storeLen;
        uint32_t result;
        const char* reason;
    };
    const Case cases[] = {
        {241, 10, 0x3c000002, "File upload and download initialization failed"},
        {10, 241, 0x3c000002, "File upload and download initialization failed"},
        {240, 240, 0,
         "File download or upload failed, because: The Remote file does not exist "
         "or the ip is wrong"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.readLen * 1000 + c.storeLen);
        ResetAll();
        ComponentInfo r{};
        r.ucProtocolType = FILEHANDLE_PROTOCOL_TFTP;
        r.ucHandleType = FILEHANDLE_DOWNLOAD;
        strcpy(r.szIpAdress, "127.0.0.1");
        std::string read(c.readLen, 'r');
        std::string store = "/var/tmp/" + std::string(c.storeLen - 9, 's');
        memcpy(r.szReadAddress, read.data(), read.size());
        memcpy(r.szStorageAddress, store.data(), store.size());
        uint32_t id = 0;
        faults().curlInitFails = true;
        EXPECT_EQ(c.result, FILEHANDLE_UploadDownloadFileImage(&r, &id));
        EXPECT_EQ(1u, id);
        if (c.result == 0) {
            ComponentProcess rec = WaitForEnd(id);
            EXPECT_EQ(0x3c00000du, rec.uiResultCode);
            EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
            EXPECT_FALSE(FileExists(store));
        }
        faults().curlInitFails = false;
        EXPECT_TRUE(Logged(6, "TFTP Protocol file handle"));
        EXPECT_EQ(c.result == 0x3c000002,
                  Logged(2, "The tftp protocol file path exceeds the maximum supported length"));
        auto ev = EventTexts();
        ASSERT_EQ(1u, ev.size());
        EXPECT_EQ(c.reason, ev[0].second);
        ExpectNothingLeft();
    }
}

TEST_F(EntryTest, NullPointersEverywhere) {
    struct Case {
        const char* call;
        std::function<uint32_t()> run;
        uint32_t result;
        const char* log;  // expected at level 7, beginning of the text
    };
    const Case cases[] = {
        {"allocation with purge", [] { return FILEHANLE_ClearTasksAndConfigID(nullptr); },
         0xbc000001,
         "Pointer puiIdentifier is Null, File:filehandle_ulanddl Func:"
         "FILEHANLE_ClearTasksAndConfigID"},
        {"expiry",
         [] {
             FILEHANDLE_UploadDownloadDateClean(nullptr);
             return 0u;
         },
         0,
         "Pointer puiTaskNum is Null, File:filehandle_ulanddl "
         "Func:FILEHANDLE_UploadDownloadDateClean"},
        {"progress read", [] { return FILEHANDLE_UploadDownloadProgress(1, nullptr); }, 0x3c000001,
         "Pointer pstComponentProcess is Null"},
        {"listing", [] { return FILEHANDLE_GetTransferTaskInfo(nullptr); }, 0x3c000001,
         "Pointer pstTransferTaskInfo is Null"},
        {"lookup", [] { return FILEHANDLE_GetProgressFile(1, nullptr); }, 0xbc000001,
         "Pointer pcProgressFilePath is Null"},
        {"starter", [] { return HTTP_UploadDownloadFile(nullptr); }, 0xbc000001,
         "Pointer pstComponentInfo is Null, File:filehandle_ulanddl Func:HTTP_UploadDownloadFile"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        ResetAll();
        EXPECT_EQ(c.result, c.run());
        auto logs = Logs();
        ASSERT_EQ(1u, logs.size());
        EXPECT_EQ(7u, logs[0].level);
        EXPECT_EQ(0u, logs[0].module);
        EXPECT_EQ(0u, logs[0].text.rfind(c.log, 0)) << logs[0].text;
    }
    uint32_t id = 0;
    EXPECT_EQ(0xbc000002u, FILEHANLE_IDdetifier_ProgessFile(nullptr));
    EXPECT_TRUE(Logged(2, "FILEHANLE_IDdetifier_ProgessFile uiIdentifieror pDb is null."));
    EXPECT_EQ(0u, id);
    ExpectNothingLeft();
}

// Every transfer routine refuses a null request or text buffer under its own name, and a
// local file that it cannot open before it connects anywhere (port 1 would refuse anyway).
TEST_F(EntryTest, RoutinesRefuseNullArgumentsAndUnopenableLocalFiles) {
    using Routine = std::function<uint32_t(ComponentInfo*, char*)>;
    const char* kDl = "File download or upload failed,because:Failed to open download file";
    const char* kUp = "File download or upload failed,because:%s open failed";
    struct Case {
        const char* name;
        Routine run;
        uint8_t type;
        const char* request;     // the name its null report gives the request
        const char* openReason;  // %s: the local path; null: opened only once mounted
    };
    const Case cases[] = {
        {"HTTP_DownLoadFileByCurl", HTTP_DownLoadFileByCurl, 1, "pstDownloadFileInfo",
         "File download or upload failed, because: Failed to open download file"},
        {"HTTP_UploadFileByCurl", HTTP_UploadFileByCurl, 2, "pstUploadFileInfo",
         "File download or upload failed, because: %s open failed"},
        {"SFTP_DownLoadFileByCurl", SFTP_DownLoadFileByCurl, 1, "pstDownloadFileInfo",
         "File download or upload failed,because:Failed to open download file."},
        {"SFTP_UploadFileByCurl", SFTP_UploadFileByCurl, 2, "pstUploadFileInfo",
         "File download or upload failed, because: %s open failed"},
        {"SCP_DownLoadFileByCurl", SCP_DownLoadFileByCurl, 1, "pstDownloadFileInfo", kDl},
        {"SCP_UploadFileByCurl", SCP_UploadFileByCurl, 2, "pstUploadFileInfo", kUp},
        {"FTP_DownLoadFileByCurl", FTP_DownLoadFileByCurl, 1, "pstDownloadFileInfo", kDl},
        {"FTP_UploadFileByCurl", FTP_UploadFileByCurl, 2, "pstUploadFileInfo", kUp},
        {"MOUNT_UploadDownloadFile",
         [](ComponentInfo* r, char* d) { return MOUNT_UploadDownloadFile(r, "/var/p", d); }, 1,
         "pstComponentInfo", nullptr},
    };
    const std::string path = "/var/tmp/no/such/dir/f.bin";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        char desc[1024] = {0};
        ComponentInfo req = MakeRequest(2, c.type, "sftp://127.0.0.1:1/x", path);
        EXPECT_EQ(0x3c000001u, c.run(nullptr, desc));
        EXPECT_EQ(0x3c000001u, c.run(&req, nullptr));
        const std::string where = " is Null, File:filehandle_ulanddl Func:" + std::string(c.name);
        EXPECT_EQ(1u, CountLogged(std::string("Pointer ") + c.request + where));
        EXPECT_EQ(1u, CountLogged("Pointer pcTaskDesc" + where));
        EXPECT_STREQ("", desc);
        if (c.openReason != nullptr) {
            EXPECT_EQ(0x3c00000cu, c.run(&req, desc));
            char want[1024];
            snprintf(want, sizeof want, c.openReason, path.c_str());
            EXPECT_STREQ(want, desc);
            EXPECT_EQ(0u, CountLogged("curl_easy_perform"));  // no connection was tried
        }
    }
    ComponentInfo r{};
    char desc[1024];
    EXPECT_EQ(0x3c000001u, MOUNT_UploadDownloadFile(&r, nullptr, desc));
}

// A hand-built request reaches no protocol but its routine's own, and no credential with a
// line break reaches libcurl: a file:// URL neither reads nor writes a local file.
TEST_F(EntryTest, CurlRoutinesSpeakOnlyTheirProtocols) {
    using Routine = uint32_t (*)(ComponentInfo*, char*);
    const struct {
        Routine run;
        uint8_t type;
    } routines[] = {
        {HTTP_DownLoadFileByCurl, 1}, {HTTP_UploadFileByCurl, 2},  {SFTP_DownLoadFileByCurl, 1},
        {SFTP_UploadFileByCurl, 2},   {SCP_DownLoadFileByCurl, 1}, {SCP_UploadFileByCurl, 2},
        {FTP_DownLoadFileByCurl, 1},  {FTP_UploadFileByCurl, 2},
    };
    WriteFile("/var/tmp/secret", "secret");
    WriteFile("/var/tmp/src.bin", "data");
    const char* urls[] = {"file:///var/tmp/secret", "dict://127.0.0.1:1/x",
                          "gopher://127.0.0.1:1/_x", "ftp://u:p@127.0.0.1:1/x"};
    for (const auto& w : routines) {
        for (const char* url : urls) {
            SCOPED_TRACE(url);
            const std::string local = w.type == 1 ? "/var/tmp/out.bin" : "/var/tmp/src.bin";
            ComponentInfo r = MakeRequest(0, w.type, url, local);
            const bool lineBreak = strncmp(url, "ftp:", 4) == 0;
            if (lineBreak) {
                strcpy(r.szPassword, "p\r\nDELE x");
                strcpy(r.szHttpPassword, "p\r\nX-A: b");
            }
            char desc[1024] = {0};
            uint32_t rc = w.run(&r, desc);
            EXPECT_NE(0u, rc);
            if (lineBreak) {
                EXPECT_EQ(0x3c00000eu, rc);
            }
            EXPECT_NE("secret", ReadFile("/var/tmp/out.bin"));
            EXPECT_EQ("secret", ReadFile("/var/tmp/secret"));
        }
    }
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
    EXPECT_EQ(0x3c00000fu, MOUNT_UploadDownloadFile(&r, "/var/nothing.progress", desc));
    EXPECT_TRUE(Commands().empty());
    r = MakeRequest(0, 1, "http://127.0.0.1:1/f", "/var/tmp/planted.bin");
    EXPECT_EQ(0x3c00000cu, HTTP_DownLoadFileByCurl(&r, desc));
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
    EXPECT_EQ(0xbc000004u, FILEHANLE_IDdetifier_ProgessFile(&id));
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
