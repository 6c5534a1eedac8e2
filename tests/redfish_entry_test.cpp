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

// A URI without a scheme is a local copy (file mode 0) or move (1), from the local path on
// upload and to it on download, done at once by either entry. Copying a file onto itself
// keeps it.
TEST_F(RedfishEntryTest, LocalCopyAndMove) {
    const struct {
        const char* name;
        uint8_t type, mode;
        const char *local, *other;  // under dir_; a/ and b/ exist
        uint32_t result;
        bool sourceAfter, destAfter;
    } cases[] = {
        {"upload copies", 2, 0, "a/l", "b/o", 0, true, true},
        {"upload moves", 2, 1, "a/l", "b/o", 0, false, true},
        {"download copies", 1, 0, "a/l", "b/o", 0, true, true},
        {"download moves", 1, 1, "a/l", "b/o", 0, false, true},
        {"copy into a missing directory", 2, 0, "a/l", "missing/o", FILEHANDLE_E_START_FAILED, true,
         false},
        {"move into a missing directory", 1, 1, "missing/l", "b/o", FILEHANDLE_E_START_FAILED, true,
         false},
        {"copy onto itself", 2, 0, "a/l", "a/./l", 0, true, true},
    };
    for (const auto& c : cases) {
        for (bool sync : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (sync ? ", start and wait" : ""));
            ResetAll();
            BMC_System(("rm -rf " + dir_ + "/* && mkdir -p " + dir_ + "/a " + dir_ + "/b").c_str());
            std::string local = dir_ + "/" + c.local, other = dir_ + "/" + c.other;
            const std::string& source = c.type == 2 ? local : other;
            const std::string& dest = c.type == 2 ? other : local;
            WriteFile(source, "payload");
            RedfishInfo in = Info(c.type, c.mode, local, other);
            if (sync) {
                EXPECT_EQ(c.result == 0 ? 0u : FILEHANDLE_FAILED,
                          FILEHANDLE_UploadDownloadFile(&in, 5));
            } else {
                uint32_t id = 99;
                EXPECT_EQ(c.result, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
                EXPECT_EQ(0u, id);
            }
            EXPECT_EQ(c.sourceAfter, FileExists(source));
            EXPECT_EQ(c.destAfter ? "payload" : "", ReadFile(dest));
            EXPECT_EQ(c.result == 0 ? 0u : 1u, Events().size());
            EXPECT_EQ(0u, TaskCount());
        }
    }
}

TEST_F(RedfishEntryTest, Refusals) {
    uint32_t id = 42;
    RedfishInfo in = Info(1, 0, "nofolder.bin", "http://127.0.0.1:1/f");
    EXPECT_EQ(FILEHANDLE_E_LOCAL_PATH, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
    EXPECT_EQ(42u, id);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(FILEHANDLE_E_ENTRY_NULL_ARGUMENT,
              FILEHANDLE_UploadDownloadFileImageForRedfish(nullptr, &id));
    EXPECT_EQ(FILEHANDLE_E_ENTRY_NULL_ARGUMENT,
              FILEHANDLE_UploadDownloadFileImageForRedfish(&in, nullptr));

    in = Info(1, 0, "/tmp/x/f.bin", "http://[FE80::1]/f");
    EXPECT_EQ(FILEHANDLE_E_NO_TASK, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
    EXPECT_EQ(0u, id);
    auto ev = EventTexts();
    ASSERT_EQ(1u, ev.size());
    EXPECT_EQ("f.bin", ev[0].first);
    EXPECT_EQ("File transfer protocol not supported", ev[0].second);

    EXPECT_EQ(FILEHANDLE_NULL_REQUEST, FILEHANDLE_UploadDownloadFile(nullptr, 5));
    EXPECT_EQ(FILEHANDLE_FAILED, FILEHANDLE_UploadDownloadFile(&in, 5));
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
        {"missing file", 1, Url("/files/nothing.bin"), 5, FILEHANDLE_FAILED, 0, 3},
        {"stall, limit 3", 1, Url("/stall/1m.bin"), 3, FILEHANDLE_FAILED, 2.5, 6},
        {"stall, limit 11 means 5", 1, Url("/stall/1m.bin"), 11, FILEHANDLE_FAILED, 4.5, 8},
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
