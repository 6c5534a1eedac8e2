// Progress records: the writer, the reader's retries, the libcurl progress callback and
// the failure event.
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

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

// Drives the process-wide throttle to the point where the next three calls are skipped
// and the fourth does the work.
void AlignCallbackCounter() {
    uint32_t zero = 0;
    for (int i = 0; i < 4; ++i) {
        size_t before = CountLogged("FileProgressByCurlFunc: dlDownloadTotal");
        FileProgressByCurlFunc(&zero, 0, 0, 0, 0);
        if (CountLogged("FileProgressByCurlFunc: dlDownloadTotal") > before) {
            return;
        }
    }
    FAIL() << "the callback never did its work";
}

}  // namespace

TEST_F(ProgressTest, WriterAndReaderRoundTrip) {
    uint32_t id = NewTask();
    ComponentProcess rec{};
    rec.uiStage = 3;
    rec.uiResultCode = 0x3c000011;
    rec.ucPercent = 0;
    strcpy(rec.szDescription, "File download or upload failed, because: x");
    uint32_t before = static_cast<uint32_t>(time(nullptr));
    FILEHANDLE_UploadDownloadSetProgress(&rec, Path(id).c_str());
    EXPECT_GE(rec.uiTime, before);  // stamped in the caller's record
    std::string raw = ReadFile(Path(id));
    ASSERT_EQ(sizeof(ComponentProcess), raw.size());
    EXPECT_EQ(0, memcmp(raw.data(), &rec, sizeof rec));

    ComponentProcess out;
    memset(&out, 0x5a, sizeof out);
    ASSERT_EQ(0u, FILEHANDLE_UploadDownloadProgress(id, &out));
    EXPECT_EQ(3u, out.uiStage);
    EXPECT_EQ(0x3c000011u, out.uiResultCode);
    EXPECT_STREQ("Failed", out.szStageDesc);
    EXPECT_STREQ(rec.szDescription, out.szDescription);
}

TEST_F(ProgressTest, StageTextFromTheTable) {
    struct {
        uint32_t stage;
        const char* text;
    } rows[] = {{0, "Progress display is not supported"},
                {1, "In Transferring"},
                {2, "Succeed"},
                {3, "Failed"},
                {7, ""},
                {255, ""}};
    uint32_t id = NewTask();
    for (auto& r : rows) {
        SCOPED_TRACE(r.stage);
        WriteRecordRaw(Path(id), r.stage, 1);
        ComponentProcess out;
        memset(&out, 0x5a, sizeof out);
        ASSERT_EQ(0u, FILEHANDLE_UploadDownloadProgress(id, &out));
        EXPECT_STREQ(r.text, out.szStageDesc);
    }
}

TEST_F(ProgressTest, ReaderFailures) {
    ComponentProcess out{};
    EXPECT_EQ(0x3c000001u, FILEHANDLE_UploadDownloadProgress(1, nullptr));
    EXPECT_EQ(0x3c000607u, FILEHANDLE_UploadDownloadProgress(1, &out));  // no such task
    EXPECT_TRUE(Logged(2, "FILEHANDLE_GetProgressFile is failed"));
    uint32_t id = NewTask();
    unlink(Path(id).c_str());
    EXPECT_EQ(0x3c000608u, FILEHANDLE_UploadDownloadProgress(id, &out));
    EXPECT_TRUE(Logged(2, "FILEHANDLE_UploadDownloadProgress: progress file does not exist "));

    // A short record: six attempts about 200 ms apart, then 0x3c000009.
    WriteFile(Path(id), std::string(100, '\0'));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0x3c000009u, FILEHANDLE_UploadDownloadProgress(id, &out));
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(secs, 1.15);
    EXPECT_LT(secs, 3.0);
    EXPECT_EQ(6u, CountLogged("retrying reading status file..."));
}

TEST_F(ProgressTest, WriterNeverRecreatesADeletedFile) {
    uint32_t id = NewTask();
    ASSERT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
    ComponentProcess rec{};
    rec.uiStage = 2;
    FILEHANDLE_UploadDownloadSetProgress(&rec, Path(id).c_str());
    EXPECT_FALSE(FileExists(Path(id)));
    EXPECT_TRUE(Logged(2, "FILEHANDLE_UploadDownloadSetProgress: progress file does not exist."));
    FILEHANDLE_UploadDownloadSetProgress(nullptr, Path(id).c_str());
    FILEHANDLE_UploadDownloadSetProgress(&rec, nullptr);
    EXPECT_EQ(1u, CountLogged("Pointer pstComponentProcess is Null"));
    EXPECT_EQ(1u, CountLogged("Pointer pcProgressFile is Null"));
}

TEST_F(ProgressTest, CallbackThrottleAndPercentages) {
    struct Case {
        const char* name;
        double dlTotal, dlNow, ulTotal, ulNow;
        bool zeroId;
        int percent;  // -1: nothing written
    };
    const Case cases[] = {
        {"half a download", 1024, 512, 0, 0, false, 50},
        {"exactly done", 1024, 1024, 0, 0, false, 100},
        {"past the total", 1024, 4096, 0, 0, false, 100},
        {"a third rounds down", 3, 1, 0, 0, false, 33},
        {"just under whole", 1000, 999, 0, 0, false, 99},
        {"upload figures", 0, 0, 1000, 300, false, 30},
        {"download wins", 4, 1, 4, 3, false, 25},
        {"sizes unknown", 0, 0, 0, 0, false, -1},
        {"identifier 0", 1024, 512, 1024, 512, true, -1},
    };
    uint32_t id = NewTask();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteRecordRaw(Path(id), 9, 1);  // a marker that any write replaces
        AlignCallbackCounter();
        uint32_t data = c.zeroId ? 0 : id;
        for (int call = 1; call <= 4; ++call) {
            size_t logs = CountLogged("FileProgressByCurlFunc: dlDownloadTotal");
            EXPECT_EQ(0, FileProgressByCurlFunc(&data, c.dlTotal, c.dlNow, c.ulTotal, c.ulNow));
            ComponentProcess rec{};
            std::string raw = ReadFile(Path(id));
            ASSERT_EQ(sizeof rec, raw.size());
            memcpy(&rec, raw.data(), sizeof rec);
            bool wrote = rec.uiStage != 9;
            if (call < 4 || c.percent < 0) {
                EXPECT_FALSE(wrote) << "call " << call;
            } else {
                EXPECT_TRUE(wrote);
                EXPECT_EQ(1u, rec.uiStage);
                EXPECT_EQ(c.percent, rec.ucPercent);
                EXPECT_STREQ("File transfer....", rec.szDescription);
                EXPECT_EQ(0u, rec.uiResultCode);
            }
            bool loggedFigures = CountLogged("FileProgressByCurlFunc: dlDownloadTotal") > logs;
            EXPECT_EQ(call == 4 && c.percent < 0, loggedFigures) << "call " << call;
        }
    }
    EXPECT_TRUE(Logged(6,
                       "FileProgressByCurlFunc: dlDownloadTotal: 1024.000000, dlDownloadNew: "
                       "512.000000, uiIdentifier: 0, dlUploadTotal: 1024.000000, dlUploadNew: "
                       "512.000000."));
}

TEST_F(ProgressTest, CallbackStopsADeletedTask) {
    uint32_t id = NewTask();
    ASSERT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
    AlignCallbackCounter();
    int rc = 0;
    for (int call = 0; call < 4; ++call) {
        rc = FileProgressByCurlFunc(&id, 100, 10, 0, 0);
    }
    EXPECT_EQ(2, rc);
    EXPECT_TRUE(Logged(2, "FILEHANDLE_GetProgressFile is failed."));
    EXPECT_FALSE(FileExists(Path(id)));
    EXPECT_EQ(1, FileProgressByCurlFunc(nullptr, 1, 1, 1, 1));
}

TEST_F(ProgressTest, FailureEventBytes) {
    struct Case {
        std::string name, reason;
    };
    const Case cases[] = {
        {"fw.bin", "File transfer protocol not supported"},
        {"", "x"},
        {std::string(300, 'n'), "long name: its length byte keeps the low 8 bits"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.size());
        ResetAll();
        FILEHANDLE_AddSdl_TaskExecutionFailed(c.name.c_str(), c.reason.c_str());
        auto events = Events();
        ASSERT_EQ(1u, events.size());
        std::vector<unsigned char> want(1032, 0);
        uint32_t code = 0x2201040d;
        memcpy(want.data(), &code, 4);
        size_t off = 8;
        auto put = [&](uint8_t type, uint8_t len, const std::string& value) {
            want[off] = type;
            want[off + 1] = len;
            memcpy(&want[off + 2], value.data(), std::min<size_t>(len, value.size()));
            off += 2 + len;
        };
        put(0, 2, "");
        put(0x11, static_cast<uint8_t>(c.name.size() + 1), c.name);
        put(0x11, static_cast<uint8_t>(c.reason.size() + 1), c.reason);
        EXPECT_EQ(want, events[0]);
    }
    ResetAll();
    FILEHANDLE_AddSdl_TaskExecutionFailed(nullptr, "r");
    FILEHANDLE_AddSdl_TaskExecutionFailed("n", nullptr);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(1u, CountLogged("Pointer pcFilePathName is Null, File:filehandle_ulanddl"));
    EXPECT_EQ(1u, CountLogged("Pointer pcFileResult is Null, File:filehandle_ulanddl"));
    faults().eventSubmitFails = true;
    FILEHANDLE_AddSdl_TaskExecutionFailed("n", "r");
    EXPECT_TRUE(Logged(2, "Failed to add sdl of TaskExecutionFailed, iRet: 0x5."));
}

TEST_F(ProgressTest, EventLogKeepsOneReadableLinePerEvent) {
    std::string before = ReadFile(BMC_SDL_LOG_PATH);
    FILEHANDLE_AddSdl_TaskExecutionFailed("fw.bin", "quote \" and\nnewline");
    std::string after = ReadFile(BMC_SDL_LOG_PATH);
    ASSERT_GT(after.size(), before.size());
    std::string line = after.substr(before.size());
    EXPECT_EQ(1, std::count(line.begin(), line.end(), '\n'));
    EXPECT_NE(std::string::npos, line.find("\"event\":\"0x2201040d\""));
    EXPECT_NE(std::string::npos, line.find("\"text\":\"fw.bin\""));
    EXPECT_NE(std::string::npos, line.find("\"text\":\"quote \\\" and\\u000anewline\""));
}
