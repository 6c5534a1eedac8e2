// Shell commands, detached threads and file operations.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/file_copy.h"
#include "common/raii.h"
#include "platform/bmc_platform.h"

extern char** environ;

extern "C" int BMC_System(const char* command) {
    if (command == nullptr) {
        return -1;
    }
    // posix_spawn rather than system(3): safe from any thread and leaves the caller's
    // signal dispositions alone.
    char sh[] = "sh";
    char dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

extern "C" int BMC_CreateDetachThreadInternal(BMC_THREAD_ROUTINE routine, const char* name,
                                              void* argument, pthread_t* thread) {
    if (routine == nullptr) {
        return EINVAL;
    }
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid{};
    rc = pthread_create(&tid, &attr, routine, argument);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        return rc;
    }
    if (name != nullptr) {
        char shortName[16];  // the kernel keeps 15 characters
        snprintf(shortName, sizeof shortName, "%s", name);
        pthread_setname_np(tid, shortName);
    }
    if (thread != nullptr) {
        *thread = tid;
    }
    return 0;
}

extern "C" int BMC_CreateFile(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    fh::UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd.Valid() && fd.Close() == 0 ? 0 : -1;
}

extern "C" int BMC_Mkdir(const char* path) {
    return path != nullptr && mkdir(path, 0755) == 0 ? 0 : -1;
}

extern "C" int BMC_RmFile(const char* path) {
    return path != nullptr && unlink(path) == 0 ? 0 : -1;
}

extern "C" int64_t BMC_GetFileSize(const char* path) {
    struct stat st {};
    if (path == nullptr || stat(path, &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

extern "C" int BMC_CopyFile(const char* source, const char* destination) {
    if (source == nullptr || destination == nullptr) {
        return -1;
    }
    fh::UniqueFd in(open(source, O_RDONLY | O_CLOEXEC));
    struct stat sst {};
    if (!in.Valid() || fstat(in.Get(), &sst) != 0 || !S_ISREG(sst.st_mode)) {
        return -1;
    }
    // Copying a file onto itself would empty it: that is a no-op that succeeds.
    struct stat dst {};
    if (stat(destination, &dst) == 0 && dst.st_dev == sst.st_dev && dst.st_ino == sst.st_ino) {
        return 0;
    }
    fh::UniqueFd out(open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.Valid()) {
        return -1;
    }
    if (!fh::CopyAll(in.Get(), out.Get(), sst.st_size)) {
        unlink(destination);
        return -1;
    }
    return out.Close() == 0 ? 0 : -1;
}

extern "C" int BMC_MoveFile(const char* source, const char* destination) {
    if (source == nullptr || destination == nullptr) {
        return -1;
    }
    if (rename(source, destination) == 0) {
        return 0;
    }
    if (errno != EXDEV || BMC_CopyFile(source, destination) != 0) {
        return -1;
    }
    return unlink(source) == 0 ? 0 : -1;
}
