// TFTP tasks without a server (against one: EntryTest, with every member). libcurl is made
// to fail inside the TFTP bridge: each transfer fails at once, and the paths and ports the
// bridge was given show.
#include <string.h>

#include <tuple>

#include "tests/support.h"

using namespace fhtest;

namespace {

class TftpTest : public FhTest {};

}  // namespace

// 241 characters in either path fails the start; 240 starts the task, whose failed
// transfer leaves no file. Port 0 means 69 for the transfer only.
TEST_F(TftpTest, PathLengthLimitAndPortZero) {
    const std::tuple<size_t, size_t, uint32_t> cases[] = {
        {241, 10, FILEHANDLE_E_START_FAILED}, {10, 241, FILEHANDLE_E_START_FAILED}, {240, 240, 0}};
    for (auto [readLen, storeLen, result] : cases) {
        SCOPED_TRACE(readLen * 1000 + storeLen);
        ResetAll();
        std::string store = "/var/tmp/" + std::string(storeLen - 9, 's');
        ComponentInfo r = MakeRequest(FILEHANDLE_PROTOCOL_TFTP, 1, "127.0.0.1", store);
        memcpy(r.szReadAddress, std::string(readLen, 'r').data(), readLen);
        uint32_t id = 0;
        faults().curlInitFails = true;
        EXPECT_EQ(result, FILEHANDLE_UploadDownloadFileImage(&r, &id));
        EXPECT_EQ(1u, id);
        if (result == 0) {
            EXPECT_EQ(FILEHANDLE_E_REMOTE_MISSING, WaitForEnd(id).uiResultCode);
            EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
            EXPECT_FALSE(FileExists(store));
            EXPECT_EQ(std::vector<uint32_t>{0}, TftpBridgeCalls().sizePorts);
            EXPECT_EQ(std::vector<uint32_t>{69}, TftpBridgeCalls().transferPorts);
        }
        auto ev = EventTexts();
        ASSERT_EQ(1u, ev.size());
        EXPECT_EQ(result ? "File upload and download initialization failed"
                         : "File download or upload failed, because: The Remote file does not "
                           "exist or the ip is wrong",
                  ev[0].second);
        TransferTaskInfo info{};
        ASSERT_EQ(0u, FILEHANDLE_GetTransferTaskInfo(&info));
        EXPECT_EQ(0, info.ucTaskNum);
    }
}
