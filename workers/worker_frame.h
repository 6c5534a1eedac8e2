// The worker frame: one starter and one thread body per protocol family, all running the
// same steps and differing only in the data of their WorkerMember.
#pragma once

#include "common/fh_internal.h"

namespace fh {

using CurlRoutineFn = uint32_t (*)(ComponentInfo*, char*);
struct WorkerMember;

// How a member calls its protocol routine and fills the final record (steps that differ
// between the libcurl, TFTP and mount members). `baseName` is null for a path without
// '/'; `desc` is the zeroed 1024-byte failure text.
using RunRoutineFn = void (*)(const WorkerMember& member, ComponentInfo* req,
                              const char* progressFile, char* desc, const char* baseName,
                              ComponentProcess* rec);

inline bool ValidHandleType(uint8_t type) {
    return type == FILEHANDLE_DOWNLOAD || type == FILEHANDLE_UPLOAD;
}

// The final records a member writes: success with 100 percent, or failure with a result
// code and the 1024 bytes of the failure text `desc` (a routine's pcTaskDesc).
void SetSucceeded(ComponentProcess* rec);
void SetFailed(ComponentProcess* rec, uint32_t code, const char* desc);
// The final record of a routine's result `code`; a failure also raises its event, named
// by `baseName` (none when it is null).
void SetOutcome(ComponentProcess* rec, uint32_t code, const char* desc, const char* baseName);
// A request of neither direction: the member's description into `desc`, its log line and,
// where the member raises one, an event that names no file.
void ReportInvalidType(const WorkerMember& m, uint8_t type, char* desc);

// The libcurl members (HTTP, SFTP, SCP, FTP): one routine per direction.
void RunCurlMember(const WorkerMember& m, ComponentInfo* req, const char* progressFile, char* desc,
                   const char* baseName, ComponentProcess* rec);
// The TFTP member: one routine for both directions, its results mapped here.
void RunTftpMember(const WorkerMember& m, ComponentInfo* req, const char* progressFile, char* desc,
                   const char* baseName, ComponentProcess* rec);

// The NFS and CIFS member: one routine for both directions through a mounted share.
void RunMountMember(const WorkerMember& m, ComponentInfo* req, const char* progressFile, char* desc,
                    const char* baseName, ComponentProcess* rec);

// One member of the worker frame, by what uses each field.
struct WorkerMember {
    struct {
        const char* name;  // e.g. "HTTP_UploadDownloadFile"
        const char* createFailed;
        const char* created;
    } starter;
    struct {
        const char* name;  // e.g. "HttpThread"
        BMC_THREAD_ROUTINE body;
        const char* nullArg;
        const char* nullDb;
        const char* nameFailed;
        const char* idOutOfRange;
        const char* tableReadFailed;  // takes the DB result (int)
        const char* slotMismatch;     // takes the identifier
    } thread;
    struct {
        RunRoutineFn run;
        // one routine per direction and its failure log (takes the thread name); the
        // libcurl members only
        CurlRoutineFn download;
        CurlRoutineFn upload;
        const char* downloadFailed;
        const char* uploadFailed;
    } routine;
    struct {
        const char* desc;
        const char* log;  // takes the handle type
        bool event;       // raise one "Unknown" event
    } invalidType;
};

extern const WorkerMember kHttpMember, kSftpMember, kScpMember, kFtpMember, kTftpMember,
    kMountMember;

// Copies the request to the heap and starts the member's detached thread on it.
uint32_t StartWorker(const WorkerMember& member, const ComponentInfo* request, const char* func);

// The thread body shared by every member; `arg` is the heap copy, freed here.
void RunWorker(const WorkerMember& member, void* arg);

// Terminates every text field inside its array, so a caller's unterminated text can
// never be read past its field.
void TerminateTexts(ComponentInfo* request);

}  // namespace fh
