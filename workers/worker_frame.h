// The worker frame: one starter and one thread body per protocol family, all running the
// same steps and differing only in the data of their WorkerMember.
#pragma once

#include "common/fh_internal.h"

namespace fh {

using CurlRoutineFn = uint32_t (*)(ComponentInfo*, char*);

struct WorkerMember {
    const char* starterName;  // e.g. "HTTP_UploadDownloadFile"
    const char* threadName;   // e.g. "HttpThread"
    BMC_THREAD_ROUTINE body;
    const char* dispatchLog;  // logged by the transfer entry before starting
    bool tftpPathLimit;       // the entry refuses paths over 240 characters
    // starter messages
    const char* createFailed;
    const char* created;
    // thread start-up messages
    const char* nullArg;
    const char* nullDb;
    const char* nameFailed;
    const char* idOutOfRange;
    const char* tableReadFailed;  // takes the DB result (int)
    const char* slotMismatch;     // takes the identifier
    // protocol routines and their messages
    CurlRoutineFn download;
    CurlRoutineFn upload;
    const char* downloadFailed;  // takes the thread name
    const char* uploadFailed;    // takes the thread name
    const char* invalidTypeDesc;
    const char* invalidTypeLog;  // takes the handle type
    bool invalidTypeEvent;       // raise one "Unknown" event for an invalid type
};

// The member that serves a protocol code, or null when none does.
const WorkerMember* FindWorkerMember(uint8_t protocol);

// Copies the request to the heap and starts the member's detached thread on it.
uint32_t StartWorker(const WorkerMember& member, const ComponentInfo* request, const char* func);

// The thread body shared by every member; `arg` is the heap copy, freed here.
void RunWorker(const WorkerMember& member, void* arg);

// Terminates every text field inside its array, so a caller's unterminated text can
// never be read past its field.
void TerminateTexts(ComponentInfo* request);

}  // namespace fh
