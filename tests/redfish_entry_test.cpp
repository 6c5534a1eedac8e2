// The Redfish entry (local copy and move, or a task) and the start-and-wait call.
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

const std::string kDir = "/var/tmp/redfish";

uint32_t TaskCount() {
    TransferTaskInfo info{};
    EXPECT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
    return info.ucTaskNum;
}

class RedfishEntryTest : public FhTest {};
class RedfishHttpTest : public FhTest {};

}  // namespace

// A URI without a scheme is a local copy (file mode 0) or move (1), from the local path on
// upload and to it on download, done at once by either entry. Copying a file onto itself
// keeps it.
TEST_F(RedfishEntryTest, LocalCopyAndMove) {
    constexpr uint32_t kFailed = FILEHANDLE_E_START_FAILED;
    const struct {
        const char* name;
        uint8_t type, mode;
        const char *local, *other;  // under kDir; a/ and b/ exist
        uint32_t result;
        bool sourceAfter, destAfter;
    } cases[] = {
        {"upload copies", 2, 0, "a/l", "b/o", 0, true, true},
        {"upload moves", 2, 1, "a/l", "b/o", 0, false, true},
        {"download copies", 1, 0, "a/l", "b/o", 0, true, true},
        {"download moves", 1, 1, "a/l", "b/o", 0, false, true},
        {"copy into a missing directory", 2, 0, "a/l", "missing/o", kFailed, true, false},
        {"move into a missing directory", 1, 1, "missing/l", "b/o", kFailed, true, false},
        {"copy onto itself", 2, 0, "a/l", "a/./l", 0, true, true},
    };
    for (const auto& c : cases) {
        for (bool sync : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (sync ? ", start and wait" : ""));
            ResetAll();
            BMC_System(("rm -rf " + kDir + " && mkdir -p " + kDir + "/a " + kDir + "/b").c_str());
            std::string local = kDir + "/" + c.local, other = kDir + "/" + c.other;
            const std::string& source = c.type == 2 ? local : other;
            const std::string& dest = c.type == 2 ? other : local;
            WriteFile(source, "payload");
            RedfishInfo in = UriRequest(c.type, local, other);
            in.ucFileMode = c.mode;
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
    RedfishInfo in = UriRequest(1, "nofolder.bin", "http://127.0.0.1:1/f");
    EXPECT_EQ(FILEHANDLE_E_LOCAL_PATH, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
    EXPECT_EQ(42u, id);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(FILEHANDLE_E_ENTRY_NULL_ARGUMENT,
              FILEHANDLE_UploadDownloadFileImageForRedfish(nullptr, &id));
    EXPECT_EQ(FILEHANDLE_E_ENTRY_NULL_ARGUMENT,
              FILEHANDLE_UploadDownloadFileImageForRedfish(&in, nullptr));

    in = UriRequest(1, "/tmp/x/f.bin", "http://[FE80::1]/f");
    EXPECT_EQ(FILEHANDLE_E_NO_TASK, FILEHANDLE_UploadDownloadFileImageForRedfish(&in, &id));
    EXPECT_EQ(0u, id);
    using Texts = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ((Texts{{"f.bin", "File transfer protocol not supported"}}), EventTexts());

    EXPECT_EQ(FILEHANDLE_NULL_REQUEST, FILEHANDLE_UploadDownloadFile(nullptr, 5));
    EXPECT_EQ(FILEHANDLE_FAILED, FILEHANDLE_UploadDownloadFile(&in, 5));
    EXPECT_EQ(0u, TaskCount());
}

TEST_F(RedfishHttpTest, StartAndWait) {
    FH_REQUIRE_ENV("FH_TEST_SERVERS");
    const struct {
        const char* name;
        uint8_t type;
        const char* path;  // on the HTTP server
        uint32_t stallLimit, result;
        double minSeconds, maxSeconds;
    } cases[] = {
        {"download", 1, "/files/1m.bin", 5, 0, 0, 3},
        {"upload", 2, "/upload/wait/up.bin", 5, 0, 0, 3},
        {"missing file", 1, "/files/nothing.bin", 5, FILEHANDLE_FAILED, 0, 3},
        {"stall, limit 3", 1, "/stall/1m.bin", 3, FILEHANDLE_FAILED, 2.5, 6},
        {"stall, limit 11 means 5", 1, "/stall/1m.bin", 11, FILEHANDLE_FAILED, 4.5, 8},
    };
    const std::string local = "/var/tmp/wait.bin";
    const std::string http = "http://127.0.0.1:" + std::to_string(servers().httpPort);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        if (c.type == 2) {
            WriteFile(local, RandomBytes(300000, 3));
        }
        RedfishInfo in = UriRequest(c.type, local, http + c.path);
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
