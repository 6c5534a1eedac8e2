// Processes that share the task table. Four start, poll, list and delete tasks at once, each
// task a real HTTP download: no identifier is ever held by two live tasks. Others are killed
// (SIGKILL) where they stand at chosen points and at random: the next caller goes on at once,
// and the expiry frees whatever a dead process's task still holds. Each suite run takes 1,000
// operations; FH_STRESS=1 takes 10,000. Not under ThreadSanitizer, which cannot follow
// threads started after a fork.
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <random>

#include "platform/bmc_platform.h"
#include "tests/support.h"

using namespace fhtest;

namespace {

const std::string kDir = "/var/tmp/stress";
const long kOperations = getenv("FH_STRESS") != nullptr ? 10000 : 1000;  // over four processes

int64_t Now() {  // the same clock in every process
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

// An identifier while one process held it: from its start's return to its delete's call.
struct Held {
    uint32_t id;
    int64_t from, to;
};

uint32_t Start(const char* path, uint32_t seq, uint32_t* id) {
    RedfishInfo in = UriRequest(FILEHANDLE_DOWNLOAD,
                                kDir + "/" + std::to_string(getpid()) + "-" + std::to_string(seq),
                                "http://127.0.0.1:" + std::to_string(servers().httpPort) + path);
    return FILEHANDLE_UploadDownloadFileImageForRedfish(&in, id);
}

// `ops` operations with up to three live tasks (four processes then fill the table at
// times); each task's Held goes to `out`.
void Churn(long ops, int out, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<Held> live;
    uint32_t seq = 0;
    auto end = [&](Held h) {
        h.to = Now();
        (void)FILEHANDLE_DeleteProgressInfo(h.id);  // judged by the table at the end
        (void)!write(out, &h, sizeof h);
    };
    for (long n = 0; n < ops; ++n) {
        unsigned pick = gen() % 4;
        ComponentProcess rec{};
        TransferTaskInfo info{};
        uint32_t id = 0;
        if (live.empty() || (pick == 0 && live.size() < 3)) {
            if (Start(n % 2 ? "/files/hello.txt" : "/files/1m.bin", ++seq, &id) == 0) {
                live.push_back({id, Now(), 0});
            }
        } else if (pick == 1) {
            (void)FILEHANDLE_UploadDownloadProgress(live[gen() % live.size()].id, &rec);
        } else if (pick == 2) {
            (void)FILEHANDLE_GetTransferTaskInfo(&info);
        } else {
            end(live.front());
            live.erase(live.begin());
        }
    }
    std::for_each(live.begin(), live.end(), end);
}

pid_t Fork(const std::function<void()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(WaitForWorkers(60) ? 0 : 3);
    }
    return pid;
}

class StressTest : public FhTest {
  protected:
    void SetUp() override {
        FhTest::SetUp();
#if defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "threads after fork";
#endif
        FH_REQUIRE_ENV("FH_TEST_SERVERS");
        BMC_System(("rm -rf " + kDir + " && mkdir -p " + kDir).c_str());
    }
    // The table names exactly the tasks that `live` says, and each its own progress file.
    static void ExpectTable(size_t live) {
        TaskTable t = ReadTable();
        size_t used = 0;
        for (uint32_t i = 0; i < FILEHANDLE_THREAD_MAX; ++i) {
            uint32_t id = t.astSlot[i].uiIdentifier;
            used += id != 0;
            EXPECT_TRUE(id == 0 || (id == i + 1 && FileExists(t.astSlot[i].szProgressFile))) << i;
        }
        EXPECT_EQ(live, used);
    }
};

}  // namespace

TEST_F(StressTest, FourProcessesNeverShareAnIdentifier) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::vector<pid_t> kids;
    for (unsigned k = 0; k < 4; ++k) {
        kids.push_back(Fork([&] {
            close(fds[0]);
            Churn(kOperations / 4, fds[1], k + 1);
        }));
    }
    close(fds[1]);
    std::map<uint32_t, std::vector<Held>> byId;
    size_t tasks = 0;
    for (Held h{}; read(fds[0], &h, sizeof h) == sizeof h; ++tasks) {
        byId[h.id].push_back(h);
    }
    close(fds[0]);
    for (pid_t k : kids) {
        int st = 0;
        waitpid(k, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    }
    size_t shared = 0;
    for (auto& [id, held] : byId) {
        std::sort(held.begin(), held.end(),
                  [](const Held& a, const Held& b) { return a.from < b.from; });
        for (size_t i = 1; i < held.size(); ++i) {
            shared += held[i].from < held[i - 1].to;
        }
    }
    EXPECT_EQ(0u, shared) << "identifiers held by two live tasks at once";
    EXPECT_GT(tasks, static_cast<size_t>(kOperations / 10));
    ExpectTable(0);
}

// A process killed where it stands holds nothing the next caller waits for, and what its
// tasks still hold goes once they look stalled (a progress file that names no task may stay:
// the next task of its identifier rewrites it).
TEST_F(StressTest, KilledProcessesLeaveNothingThatLasts) {
    struct Kill {
        const char* name;
        const char* stallAt;  // "": once its transfer moves data; null: at random
        bool slotStays;       // its task holds a slot until the expiry frees it
    };
    std::vector<Kill> kills = {
        {"writing a new task's first record, holding the table lock", "BRIDGE_LOCK_LTF_FILE_WRITE",
         false},
        {"writing the table, holding its lock", "DB_PutInternal", false},
        {"between the slot and its worker", "BMC_CreateDetachThreadInternal", true},
        {"in the middle of a transfer", "", true},
    };
    kills.resize(kills.size() + 12, {"at random", nullptr, false});
    std::mt19937 gen(7);
    double slowest = 0;
    for (const Kill& k : kills) {
        SCOPED_TRACE(k.name);
        int ready[2];
        ASSERT_EQ(0, pipe(ready));
        pid_t victim = Fork([&] {
            if (k.stallAt != nullptr) {
                if (k.stallAt[0] != '\0') {
                    StallAt(k.stallAt, ready[1]);
                }
                uint32_t id = 0;
                (void)Start("/stall/1m.bin", 1, &id);
                pause();
            }
            Churn(1000000, -1, static_cast<unsigned>(gen()));
        });
        ComponentProcess rec{};  // the victim's task is the only one: identifier 1
        if (k.stallAt == nullptr) {
            usleep(5000 + gen() % 100000);
        } else if (k.stallAt[0] != '\0') {
            char c = 0;
            ASSERT_EQ(1, read(ready[0], &c, 1));
        } else {
            ASSERT_TRUE(WaitUntil([&] {
                return FILEHANDLE_UploadDownloadProgress(1, &rec) == 0 &&
                       strcmp(rec.szDescription, "File transfer....") == 0;
            }));
        }
        kill(victim, SIGKILL);
        waitpid(victim, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
        if (k.stallAt != nullptr) {
            ExpectTable(k.slotStays ? 1 : 0);
        }
        // The next caller, in another process, neither waits for the dead one nor fails.
        auto t0 = std::chrono::steady_clock::now();
        uint32_t id = 0;
        EXPECT_EQ(0u, FILEHANLE_IDdetifier_ProgessFile(&id));
        EXPECT_EQ(0u, FILEHANDLE_DeleteProgressInfo(id));
        slowest = std::max(
            slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        FreezeClock(121 + 1);
        uint32_t freed = 0;
        FILEHANDLE_UploadDownloadDateClean(&freed);
        ExpectTable(0);
        ResetAll();
    }
    EXPECT_LT(slowest, 1.0) << "a caller waited for a dead process's lock";
}
