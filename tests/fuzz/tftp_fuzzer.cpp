// Fuzz target for what the TFTP bridge receives from a server. The input's first byte picks
// the direction and the block size; the rest is a list of packets (a 16-bit length, then
// the packet), which a loopback peer sends in answer to every request, followed by an
// error packet that ends the exchange. Whatever arrives, the bridge returns, a download
// keeps no more bytes than the packets carried, nothing reaches standard output, and the
// progress file holds one whole, terminated record.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontend/filehandle_ulanddl.h"
#include "platform/bmc_platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The files of this process (fuzzing with -fork runs several at once).
std::string OwnFile(const char* suffix) {
    return "/var/tmp/fuzz-tftp." + std::to_string(getpid()) + suffix;
}
const std::string kEnd("\0\5\0\0end\0", 8);  // error 0: ends any exchange at once

// The loopback peer: one socket and thread for the whole run (a thread and socket per input
// would cost more than the exchange), which answers every request (a packet of opcode 1 or
// 2) with the packets of the input under test.
struct Peer {
    std::mutex lock;
    std::vector<std::string> packets;
    int fd = -1;
    uint16_t port = 0;
};

void Serve(Peer* p) {
    char buf[70000];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(p->fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 2 || buf[0] != 0 || (buf[1] != 1 && buf[1] != 2)) {
            continue;  // an acknowledgement or a data block of an upload
        }
        std::lock_guard<std::mutex> hold(p->lock);
        for (const std::string& packet : p->packets) {
            (void)sendto(p->fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         len);
        }
        (void)sendto(p->fd, kEnd.data(), kEnd.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

Peer& ThePeer() {
    static Peer* peer = [] {
        auto* p = new Peer;  // lives as long as the process, like its thread
        p->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        FUZZ_CHECK(p->fd >= 0 && bind(p->fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                       getsockname(p->fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0,
                   "no loopback peer");
        p->port = ntohs(addr.sin_port);
        std::thread(Serve, p).detach();
        return p;
    }();
    return *peer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Standard output is a file of its own, which must stay empty.
    static const std::string kProgress = OwnFile(".progress"), kLocal = OwnFile(".bin");
    static const bool kOutFile = [] {
        int fd = open(OwnFile(".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        return fd >= 0 && dup2(fd, STDOUT_FILENO) == STDOUT_FILENO;
    }();
    FUZZ_CHECK(kOutFile, "no file for standard output");
    // libcurl stays initialised for the whole run, as in a service that uses it elsewhere:
    // the bridge's own initialisation is then a count, not a reload on every input.
    static const bool kCurl = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    FUZZ_CHECK(kCurl, "curl_global_init failed");
    if (size < 1) {
        return 0;
    }
    bool download = (data[0] & 1) == 0;
    uint32_t blockSize = (data[0] & 2) != 0 ? 8 : 512;
    std::vector<std::string> packets;
    size_t carried = 0;
    for (size_t i = 1; i + 2 <= size && packets.size() < 64;) {
        size_t n = std::min<size_t>((data[i] << 8 | data[i + 1]) & 0x7ff, size - i - 2);
        packets.emplace_back(reinterpret_cast<const char*>(data + i + 2), n);
        carried += n;
        i += 2 + n;
    }
    Peer& peer = ThePeer();
    {
        std::lock_guard<std::mutex> hold(peer.lock);
        peer.packets = std::move(packets);
    }

    ComponentProcess first{};
    first.uiStage = FILEHANDLE_STAGE_TRANSFERRING;
    int progress = open(kProgress.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(progress >= 0 && write(progress, &first, sizeof first) == sizeof first,
               "no progress file");
    int fd = open(kLocal.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (!download) {
        FUZZ_CHECK(fd >= 0 && write(fd, data, size) == static_cast<ssize_t>(size), "no source");
        (void)lseek(fd, 0, SEEK_SET);
    }
    (void)BRIDGE_TFTP(download ? BRIDGE_TFTP_DOWNLOAD : BRIDGE_TFTP_UPLOAD, "127.0.0.1", "f", fd,
                      peer.port, blockSize, kProgress.c_str(), 0);
    off_t kept = lseek(fd, 0, SEEK_END);
    FUZZ_CHECK(!download || kept <= static_cast<off_t>(carried), "kept %lld of %zu bytes",
               static_cast<long long>(kept), carried);
    ComponentProcess rec{};
    FUZZ_CHECK(pread(progress, &rec, sizeof rec, 0) == sizeof rec &&
                   lseek(progress, 0, SEEK_END) == sizeof rec,
               "progress file torn");
    CheckTerminated(rec.szDescription, "szDescription");
    FUZZ_CHECK(fflush(stdout) == 0 && lseek(STDOUT_FILENO, 0, SEEK_END) == 0,
               "a server's data reached standard output");
    close(fd);
    close(progress);
    return 0;
}
