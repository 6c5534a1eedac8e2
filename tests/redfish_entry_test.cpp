// The Redfish entry (local copy and move, or a task) and the start-and-wait call.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

class RedfishEntryTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
        dir_ = "/var/tmp/redfish";
        BMC_System(("rm -rf " + dir_ + " && mkdir -p " + dir_).c_str());
    }
    std::string dir_;
};

RedfishInfo Info(uint8_t type, uint8_t mode, const std::string& local, const std::string& uri) {
    RedfishInfo r{};
    r.ucHandleType = type;
    r.ucFileMode = mode;
    snprintf(r.szLocalPath, sizeof r.szLocalPath, "%s", local.c_str());
    snprintf(r.szRedfishCmd, sizeof r.szRedfishCmd, "%s", uri.c_str());
    return r;
}

uint32_t TaskCount() {
    TransferTaskInfo info{};
    EXPECT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
    return info.ucTaskNum;
}

}  // namespace

TEST_F(RedfishEntryTest, LocalCopyAndMove) {
    struct Case {
        const char* name;
        uint8_t type, mode;
        bool destDirExists;
        uint32_t entryResult;
        bool sourceAfter, destAfter;
    };
    const Case cases[] = {
        {"upload copies", 2, 0, true, 0, true, true},
        {"upload moves", 2, 1, true, 0, false, true},
        {"download copies", 1, 0, true, 0, true, true},
        {"download moves", 1, 1, true, 0, false, true},
        {"copy into a missing directory", 2, 0, false, 0x3c000002, true, false},
        {"move into a missing directory", 1, 1, false, 0x3c000002, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool sync : {false, true}) {
            ResetAll();
            BMC_System(("rm -rf " + dir_ + "/* && mkdir -p " + dir_ + "/a " + dir_ + "/b").c_str());
            std::string local = dir_ + "/a/local.bin";
            std::string other = (c.destDirExists ? dir_ + "/b" : dir_ + "/missing") + "/other.bin";
            std::string source = c.type == 2 ? local : other;
            std::string dest = c.type == 2 ? other : local;
            if (!c.destDirExists && c.type == 1) {
                // a download whose source exists and whose local directory is missing
                source = dir_ + "/b/other.bin";
                other = source;
                local = dir_ + "/missing/local.bin";
                dest = local;
            }
            WriteFile(source, "payload");
            RedfishInfo in = Info(c.type, c.mode, local, other);
            if (sync) {
                EXPECT_EQ(c.entryResult == 0 ? 0u : 0x81000001u,
                          FILEHANDLE_UploadDownloadFile(&in, 5));
            } else {
                uint32_t id = 99;
                EXPECT_EQ(c.entryResult, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
                EXPECT_EQ(0u, id);
            }
            EXPECT_EQ(c.sourceAfter, FileExists(source));
            EXPECT_EQ(c.destAfter, FileExists(dest));
            if (c.destAfter) {
                EXPECT_EQ("payload", ReadFile(dest));
            }
            EXPECT_EQ(c.entryResult == 0 ? 0u : 1u, Events().size());
            EXPECT_EQ(0u, TaskCount());
        }
    }
}

TEST_F(RedfishEntryTest, Refusals) {
    uint32_t id = 42;
    RedfishInfo in = Info(1, 0, "nofolder.bin", "http://127.0.0.1:1/f");
    EXPECT_EQ(0x3c000411u, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
    EXPECT_EQ(42u, id);
    EXPECT_TRUE(Events().empty());
    EXPECT_TRUE(
        Logged(2, "FILEHANDLE_UploadDownloadFileImageForRedfish: file path error: nofolder.bin."));
    EXPECT_EQ(0x3c000401u, FILEHANDLE_UploadDownloadFileImageForRedfish(nullptr, &id));
    EXPECT_EQ(0x3c000401u, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, nullptr));

    in = Info(1, 0, "/tmp/x/f.bin", "http://[FE80::1]/f");
    EXPECT_EQ(0x3c000402u, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
    EXPECT_EQ(0u, id);
    auto ev = EventTexts();
    ASSERT_EQ(1u, ev.size());
    EXPECT_EQ("f.bin", ev[0].first);
    EXPECT_EQ("File transfer protocol not supported", ev[0].second);
    EXPECT_TRUE(Logged(2, "FILEHANDLE_TransferRedfishStruct failed"));

    EXPECT_EQ(0x81000002u, FILEHANDLE_UploadDownloadFile(nullptr, 5));
    EXPECT_EQ(0x81000001u, FILEHANDLE_UploadDownloadFile(&in, 5));
    EXPECT_TRUE(Logged(2, "Failed to Download file, iRet=1006633986.\n"));
    EXPECT_EQ(0u, TaskCount());
}

class RedfishHttpTest : public RedfishEntryTest {
  protected:
    void SetUp() override {
        RedfishEntryTest::SetUp();
        FH_REQUIRE_ENV("FH_TEST_SERVERS");
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(servers().httpPort) + path;
    }
};

TEST_F(RedfishHttpTest, EntryStartsATaskBothWays) {
    std::string local = dir_ + "/fw.bin";
    RedfishInfo in = Info(1, 0, local, Url("/files/1m.bin"));
    uint32_t id = 0;
    ASSERT_EQ(0u, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
    ASSERT_NE(0u, id);
    ComponentProcess rec = WaitForEnd(id);
    EXPECT_EQ(2u, rec.uiStage);
    EXPECT_TRUE(ReadFile(local) == ReadFile(servers().dir + "/www/files/1m.bin"));
    EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));

    in = Info(2, 1, local, Url("/upload/redfish/image.bin"));
    ASSERT_EQ(0u, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
    rec = WaitForEnd(id);
    EXPECT_EQ(2u, rec.uiStage);
    EXPECT_TRUE(ReadFile(servers().dir + "/uploads/image.bin") ==
                ReadFile(servers().dir + "/www/files/1m.bin"));
    EXPECT_TRUE(FileExists(local));  // file mode 1 on upload: the source is copied and kept
    EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
}

TEST_F(RedfishHttpTest, StartAndWait) {
    struct Case {
        const char* name;
        uint8_t type;
        std::string uri;
        uint32_t stallLimit;
        uint32_t result;
        double minSeconds, maxSeconds;
    };
    const Case cases[] = {
        {"download", 1, Url("/files/1m.bin"), 5, 0, 0, 3},
        {"upload", 2, Url("/upload/wait/up.bin"), 5, 0, 0, 3},
        {"missing file", 1, Url("/files/nothing.bin"), 5, 0x81000001, 0, 3},
        {"stall, limit 3", 1, Url("/stall/1m.bin"), 3, 0x81000001, 2.5, 6},
        {"stall, limit 11 means 5", 1, Url("/stall/1m.bin"), 11, 0x81000001, 4.5, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        std::string local = dir_ + "/wait.bin";
        if (c.type == 2) {
            WriteFile(local, RandomBytes(300000, 3));
        }
        RedfishInfo in = Info(c.type, 1, local, c.uri);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(c.result, FILEHANDLE_UploadDownloadFile(&in, c.stallLimit));
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_GE(secs, c.minSeconds);
        EXPECT_LE(secs, c.maxSeconds);
        EXPECT_EQ(0u, TaskCount()) << "the task was not deleted";
        // A stalled worker goes on until its libcurl transfer notices the deletion.
        EXPECT_TRUE(WaitForWorkers(20));
    }
}
