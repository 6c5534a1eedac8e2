// Shell commands, detached threads and file operations.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
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

namespace {

// What a new thread needs to run. Its creator names it while it waits at `named`, so that
// the name shows from the start and the thread cannot have ended (taking its handle with
// it) before it is named.
struct ThreadStart {
    BMC_THREAD_ROUTINE routine;
    void* argument;
    pthread_mutex_t named;
};

void* StartNamed(void* p) {
    auto* start = static_cast<ThreadStart*>(p);
    (void)pthread_mutex_lock(&start->named);  // a default mutex: cannot fail here
    (void)pthread_mutex_unlock(&start->named);
    (void)pthread_mutex_destroy(&start->named);
    BMC_THREAD_ROUTINE routine = start->routine;
    void* argument = start->argument;
    free(start);
    return routine(argument);
}

}  // namespace

extern "C" int BMC_CreateDetachThreadInternal(BMC_THREAD_ROUTINE routine, const char* name,
                                              void* argument, pthread_t* thread) {
    if (routine == nullptr) {
        return EINVAL;
    }
    auto* start = static_cast<ThreadStart*>(malloc(sizeof(ThreadStart)));
    if (start == nullptr) {
        return ENOMEM;
    }
    start->routine = routine;
    start->argument = argument;
    int rc = pthread_mutex_init(&start->named, nullptr);
    if (rc != 0) {
        free(start);
        return rc;
    }
    (void)pthread_mutex_lock(&start->named);  // fresh and ours: cannot fail
    pthread_attr_t attr;
    pthread_t tid{};
    rc = pthread_attr_init(&attr);
    if (rc == 0) {
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (rc == 0) {
            rc = pthread_create(&tid, &attr, StartNamed, start);
        }
        (void)pthread_attr_destroy(&attr);  // cannot fail on an initialised attribute
    }
    if (rc != 0) {
        (void)pthread_mutex_unlock(&start->named);
        (void)pthread_mutex_destroy(&start->named);
        free(start);
        return rc;
    }
    if (name != nullptr) {
        char shortName[16];  // the kernel keeps 15 characters
        snprintf(shortName, sizeof shortName, "%s", name);
        (void)pthread_setname_np(tid, shortName);  // a diagnostic aid only
    }
    if (thread != nullptr) {
        *thread = tid;  // an identifier only: the thread may end at any time from here
    }
    (void)pthread_mutex_unlock(&start->named);  // the thread owns `start` from here
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
