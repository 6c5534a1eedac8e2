// Progress records: the writer, the reader's retries, the libcurl progress callback and
// the failure event.
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

class ProgressTest : public FhTest {
  protected:
    // Allocates a task; its progress file holds the initial record.
    uint32_t NewTask() {
        uint32_t id = 0;
        EXPECT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
        return id;
    }
    static std::string Path(uint32_t id) {
        return "/var/uploadDownload" + std::to_string(id) + ".progress";
    }
};

}  // namespace

// The record comes back as written, with the text users read for its stage. A deleted
// task's file never comes back; a null path writes nothing.
TEST_F(ProgressTest, WriterAndReaderRoundTrip) {
    const std::pair<uint32_t, const char*> rows[] = {
        {0, "Progress display is not supported"},
        {1, "In Transferring"},
        {2, "Succeed"},
        {3, "Failed"},
        {7, ""},
    };
    uint32_t id = NewTask();
    uint32_t now = FreezeClock();
    for (const auto& [stage, text] : rows) {
        SCOPED_TRACE(stage);
        ComponentProcess rec{stage, FILEHANDLE_E_REMOTE_NOT_FOUND, 0, 42, "failed, because: x", "",
                             {}};
        FILEHANDLE_UploadDownloadSetProgress(&rec, Path(id).c_str());
        EXPECT_EQ(now, rec.uiTime);  // stamped in the caller's record
        EXPECT_TRUE(ReadFile(Path(id)) == std::string(reinterpret_cast<char*>(&rec), sizeof rec));
        ComponentProcess out;
        memset(&out, 0x5a, sizeof out);
        ASSERT_EQ(0u, FILEHANDLE_UploadDownloadProgress(id, &out));
        EXPECT_STREQ(text, out.szStageDesc);
        strcpy(rec.szStageDesc, text);
        EXPECT_EQ(0, memcmp(&rec, &out, sizeof rec));
    }
    ASSERT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
    ComponentProcess rec{2, 0, 0, 0, "", "", {}};
    FILEHANDLE_UploadDownloadSetProgress(&rec, Path(id).c_str());
    FILEHANDLE_UploadDownloadSetProgress(&rec, nullptr);
    EXPECT_FALSE(FileExists(Path(id)));
}

TEST_F(ProgressTest, ReaderFailures) {
    ComponentProcess out{};
    EXPECT_EQ(FILEHANDLE_E_NO_PROGRESS_PATH,
              FILEHANDLE_UploadDownloadProgress(1, &out));  // no such task
    uint32_t id = NewTask();
    unlink(Path(id).c_str());
    EXPECT_EQ(FILEHANDLE_E_NO_PROGRESS_FILE, FILEHANDLE_UploadDownloadProgress(id, &out));

    // A short record: six attempts about 200 ms apart, then FILEHANDLE_E_PROGRESS.
    WriteFile(Path(id), std::string(100, '\0'));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(FILEHANDLE_E_PROGRESS, FILEHANDLE_UploadDownloadProgress(id, &out));
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(secs, 1.15);
    EXPECT_LT(secs, 3.0);
    EXPECT_EQ(6u, CountLogged("retrying reading status file..."));
}

// Every fourth call does the work: it writes the percentage (rounded down), or tells
// libcurl to stop (2) when the task was deleted.
TEST_F(ProgressTest, CallbackThrottleAndPercentages) {
    enum Task { kLive, kZeroId, kDeleted };
    const struct {
        const char* name;
        double dlTotal, dlNow, ulTotal, ulNow;
        int percent;  // -1: nothing written
        Task task = kLive;
        int fourth = 0;  // what the fourth call returns
    } cases[] = {
        {"half a download", 1024, 512, 0, 0, 50},
        {"past the total", 1024, 4096, 0, 0, 100},
        {"just under whole", 1000, 999, 0, 0, 99},
        {"upload figures", 0, 0, 1000, 300, 30},
        {"download wins", 4, 1, 4, 3, 25},
        {"sizes unknown", 0, 0, 0, 0, -1},
        {"identifier 0", 1024, 512, 1024, 512, -1, kZeroId},
        {"deleted task", 100, 10, 0, 0, -1, kDeleted, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        uint32_t now = FreezeClock();
        uint32_t id = NewTask();
        uint32_t data = c.task == kZeroId ? 0 : id;
        // Calls until one writes: then the next three are skipped, the fourth does the work.
        size_t before = ProgressWrites().size();
        for (int i = 0; i < 4 && ProgressWrites().size() == before; ++i) {
            FileProgressByCurlFunc(&id, 2, 1, 0, 0);
        }
        ASSERT_EQ(before + 1, ProgressWrites().size());
        if (c.task == kDeleted) {
            ASSERT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
        }
        before = ProgressWrites().size();
        for (int call = 1; call <= 4; ++call) {
            EXPECT_EQ(call == 4 ? c.fourth : 0,
                      FileProgressByCurlFunc(&data, c.dlTotal, c.dlNow, c.ulTotal, c.ulNow));
            size_t writes = call == 4 && c.percent >= 0 ? 1 : 0;
            EXPECT_EQ(writes, ProgressWrites().size() - before) << "call " << call;
        }
        EXPECT_EQ(c.task != kDeleted, FileExists(Path(id)));
        ComponentProcess want{1, 0, now, 0, "File transfer....", "", {}};
        want.ucPercent = static_cast<uint8_t>(c.percent);
        EXPECT_TRUE(c.percent < 0 || memcmp(&want, &ProgressWrites().back(), sizeof want) == 0)
            << "percent " << unsigned(ProgressWrites().back().ucPercent);
    }
    EXPECT_EQ(1, FileProgressByCurlFunc(nullptr, 1, 1, 1, 1));

    // A worker writes every new percentage, also within one second (the clock stands).
    ResetAll();
    FreezeClock();
    FH_REQUIRE_ENV("FH_TEST_SERVERS");
    WriteFile(servers().dir + "/www/files/progress-slow.bin", RandomBytes(64 << 10, 9));
    Outcome o = RunUri(
        FILEHANDLE_DOWNLOAD, "/var/tmp/progress-test.bin",
        "http://127.0.0.1:" + std::to_string(servers().httpPort) + "/slow/progress-slow.bin");
    EXPECT_EQ(FILEHANDLE_STAGE_SUCCEED, o.stage);
    std::set<int> percents;
    for (const ComponentProcess& p : ProgressWrites()) {
        if (strcmp(p.szDescription, "File transfer....") == 0) {
            percents.insert(p.ucPercent);
        }
    }
    EXPECT_GE(percents.size(), 5u) << "percentages skipped within a second";
}

// The event as the event log shows it, on one line: its code and its elements, the texts
// escaped (a text's length byte keeps the low 8 bits of its length).
TEST_F(ProgressTest, FailureEvent) {
    auto text = [](size_t len, const std::string& shown) {
        return ",{\"type\":17,\"length\":" + std::to_string(len) + ",\"text\":\"" + shown + "\"}";
    };
    const struct {
        std::string name, reason, elements;
    } cases[] = {
        {"fw.bin", "quote \" and\nnewline",
         text(7, "fw.bin") + text(20, "quote \\\" and\\u000anewline")},
        {"", "x", text(1, "") + text(2, "x")},
        {std::string(300, 'n'), "r", text(45, std::string(45, 'n')) + text(2, "r")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.size());
        ResetAll();
        std::string before = ReadFile(BMC_SDL_LOG_PATH);
        FILEHANDLE_AddSdl_TaskExecutionFailed(c.name.c_str(), c.reason.c_str());
        ASSERT_EQ(1u, Events().size());
        std::string line = ReadFile(BMC_SDL_LOG_PATH).substr(before.size());
        EXPECT_EQ(1, std::count(line.begin(), line.end(), '\n'));
        EXPECT_NE(std::string::npos, line.find("\"event\":\"0x2201040d\"")) << line;
        EXPECT_NE(std::string::npos,
                  line.find("\"elements\":[{\"type\":0,\"length\":2}" + c.elements + "]}\n"))
            << line;
    }
    ResetAll();
    FILEHANDLE_AddSdl_TaskExecutionFailed(nullptr, "r");
    FILEHANDLE_AddSdl_TaskExecutionFailed("n", nullptr);
    EXPECT_TRUE(Events().empty());
    faults().eventSubmitFails = true;
    FILEHANDLE_AddSdl_TaskExecutionFailed("n", "r");
    EXPECT_TRUE(Logged(2, "Failed to add sdl of TaskExecutionFailed, iRet: 0x5."));
}
