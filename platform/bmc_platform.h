/*
 * The controller's platform services as this library uses them.
 *
 * libbmcplatform.so implements them on an ordinary Linux host so that the library can
 * run and be tested off the controller. Every call is an exported, interposable symbol:
 * a program may replace any of them by defining the same name (ELF interposition), as
 * the controller's own service libraries do.
 *
 * State lives under /var only:
 *   /var/log/bmc_diag.log          diagnostic log, one line per call
 *   /var/log/bmc_sdl.log           event log, one JSON line per submitted event
 *   /var/lock/<name>               named inter-process locks (flock)
 *   /var/lib/bmcplatform/taskdb/   the key-value database (LMDB)
 *   /var/log/bmc_operate.log       operation log, one line per entry
 *
 * Switches that a host (or a test) sets by writing a decimal number into a file:
 *   /var/lib/bmcplatform/oem_flag                         BMC_GetOemFlag
 *   /var/lib/bmcplatform/capabilities/<section>.<name>    CAP_GetCharCapabilityWithName
 * (for example capabilities/Customer.SupportUploadLogo). A missing file means "not set".
 */
#ifndef BMC_PLATFORM_H
#define BMC_PLATFORM_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BMC_PLATFORM_API __attribute__((visibility("default")))

#define BMC_DIAG_LOG_PATH "/var/log/bmc_diag.log"
#define BMC_SDL_LOG_PATH "/var/log/bmc_sdl.log"
#define BMC_LOCK_DIR "/var/lock"
#define BMC_DB_DIR "/var/lib/bmcplatform/taskdb"
#define BMC_OPERATE_LOG_PATH "/var/log/bmc_operate.log"
#define BMC_OEM_FLAG_PATH "/var/lib/bmcplatform/oem_flag"
#define BMC_CAPABILITY_DIR "/var/lib/bmcplatform/capabilities"

/* Diagnostic log levels. */
enum { BMC_LOG_ERROR = 2, BMC_LOG_INFO = 6, BMC_LOG_DEBUG = 7 };

/* Appends one line: time, pid/tid, level, module, file:line, message. */
BMC_PLATFORM_API int BMC_DiagLogOut(uint32_t module, uint32_t reserved, uint32_t level,
                                    uint32_t line, const char* file, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

/* Bounded formatting; always terminates; returns the characters stored. */
BMC_PLATFORM_API int BMC_Scnprintf(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
/* Bounded copy; always terminates; returns strlen(source). */
BMC_PLATFORM_API size_t BMC_Strlcpy(char* destination, const char* source, size_t size);

/* Runs the line with /bin/sh -c; returns its exit status (-1 if it could not run or
 * was killed by a signal). */
BMC_PLATFORM_API int BMC_System(const char* command);

BMC_PLATFORM_API int BMC_CreateFile(const char* path); /* 0 or -1; empties an existing file */
BMC_PLATFORM_API int BMC_Mkdir(const char* path);      /* 0 or -1; an existing path fails */
BMC_PLATFORM_API int BMC_RmFile(const char* path);     /* 0 or -1 */
BMC_PLATFORM_API int BMC_MoveFile(const char* source, const char* destination); /* 0 or -1 */
BMC_PLATFORM_API int BMC_CopyFile(const char* source, const char* destination); /* 0 or -1 */
BMC_PLATFORM_API int64_t BMC_GetFileSize(const char* path);                     /* bytes, or -1 */

/* Named lock shared by threads and processes; freed by the kernel when its holder dies.
 * The caller presets *handle to 0. */
typedef int BMC_LOCK_HANDLE;
BMC_PLATFORM_API int BMC_FileLock_AcquireLock(const char* name, BMC_LOCK_HANDLE* handle);
BMC_PLATFORM_API int BMC_FileLock_ReleaseLock(BMC_LOCK_HANDLE handle);

/* Starts a detached thread named `name`; 0 on success, else an errno value. */
typedef void* (*BMC_THREAD_ROUTINE)(void*);
BMC_PLATFORM_API int BMC_CreateDetachThreadInternal(BMC_THREAD_ROUTINE routine, const char* name,
                                                    void* argument, pthread_t* thread);

/* Network check: *kind = 1 for an IPv4 address or a valid host name (RFC 1123 labels),
 * 2 for an IPv6 address, 0 for anything else. Returns 0, or -1 for null arguments. */
BMC_PLATFORM_API int LIB_CheckIpv4v6AndDomain(const char* address, uint8_t* kind);

/* Key-value database. */
typedef struct BMC_Db BMC_Db;
BMC_PLATFORM_API BMC_Db* DB_GetCurrentDb(void);
/* 0 and the whole record; -1 when the key is missing; 1 on any other failure. */
BMC_PLATFORM_API int DB_Get(BMC_Db* db, uint32_t key, uint32_t size, void* buffer);
BMC_PLATFORM_API int DB_PutInternal(const char* file, uint32_t line, BMC_Db* db, uint32_t key,
                                    uint32_t size, const void* buffer);

/* Whole-file read and write locks on an open descriptor, shared by threads and
 * processes (open file description locks); -1 when not obtained. */
BMC_PLATFORM_API int BRIDGE_LOCK_LTF_FILE_WRITE(int fd);
BMC_PLATFORM_API int BRIDGE_LOCK_LTF_FILE_READ(int fd);
BMC_PLATFORM_API int BRIDGE_UNLOCK_LTF_FILE(int fd);

/* TFTP bridge: whole-file transfers over TFTP (libcurl), run synchronously in the caller's
 * thread; several may run at once in different threads. */
enum { BRIDGE_TFTP_DOWNLOAD = 1, BRIDGE_TFTP_UPLOAD = 2 };
#define BRIDGE_TFTP_DEFAULT_PORT 69u
/* Download (1): receives `remoteName` and writes it to `fd` from its current position,
 * then cuts the file there (after a failure too), so nothing of an older, longer file
 * remains. Upload (2): reads `fd` to its end and stores it as `remoteName`, announcing
 * `expectedSize` (when above 0, else the size of the regular file behind `fd`) as its
 * size. `fd` stays open. Asks the server for `blockSize`-byte blocks (8..65464). `host`
 * is a name (letters, digits, '.', '-', '_'), an IPv4 or an IPv6 address (brackets
 * optional); port 0 means 69. While the transfer runs, stage-1 progress records go to
 * `progressFile` when it already exists (it is never created). Returns 0 when the whole
 * file was transferred, -1 for bad arguments (nothing sent), else the failing CURLcode
 * (68: no such remote file; 7 or 28: no answer). */
BMC_PLATFORM_API int BRIDGE_TFTP(uint8_t ucHandleType, const char* host, const char* remoteName,
                                 int fd, uint32_t port, uint32_t blockSize,
                                 const char* progressFile, int32_t expectedSize);
/* The size of `remoteName` as the server announces it (tsize), without transferring the
 * file; port 0 means 69. 0 and *size set; -1 for bad arguments; else a CURLcode (68: no
 * such file; 63: larger than INT32_MAX; 71: no size announced) and *size untouched. */
BMC_PLATFORM_API int BRIDGE_GetTftpRemoteFileSize(const char* host, uint32_t port,
                                                  const char* remoteName, int32_t* size);
/* The URL both calls use: "tftp://host[:port]/name" with an IPv6 address in brackets, no
 * port for port 0 and every byte of the name that would change the URL's meaning
 * percent-encoded ('/' kept). Stores it NUL-terminated when it fits; returns its length,
 * or -1 for arguments the calls would refuse. */
BMC_PLATFORM_API int BRIDGE_TftpUrl(const char* host, uint32_t port, const char* remoteName,
                                    char* url, size_t size);

/* Event log. An event is a 1032-byte buffer: u32 event code, 4 reserved bytes, then a
 * 1024-byte area of elements, each stored as u8 type, u8 length, `length` value bytes. */
#define SDS_SDL_EVENT_SIZE 1032u
#define SDS_SDL_AREA_OFFSET 8u
#define SDS_SDL_AREA_SIZE 1024u
/* Appends one element at *offset and advances it; a null value stores zero bytes.
 * -1 (nothing written) when the element does not fit. */
BMC_PLATFORM_API int SDS_SDLTLVSet(uint8_t length, uint8_t type, const void* value,
                                   uint32_t* offset, uint8_t* area);
/* Appends the event to the event log; 0 when added. */
BMC_PLATFORM_API int SDS_Internal_AddSdlFromBmc(const void* event, const char* file,
                                                const char* function);

/* The name of the calling process (/proc/self/comm), terminated and cut to fit `size`.
 * 0, or -1 for a null buffer or size 0. */
BMC_PLATFORM_API int BMC_GetCurrentProcessName(uint32_t size, char* buffer);

/* Feature switches. Each reads its file (see the top of this header): 0 and the value
 * stored when the file holds a decimal number 0..255 (surrounding white space allowed);
 * otherwise -1 and *value untouched. A section or name that is empty, contains '/' or
 * starts with '.' is refused. */
BMC_PLATFORM_API int BMC_GetOemFlag(uint8_t* flag);
BMC_PLATFORM_API int CAP_GetCharCapabilityWithName(const char* section, const char* name,
                                                   uint8_t* value);

/* Operation log: the audit trail of what users asked the controller to do. The origin
 * record says who asked; the caller passes its identifier and text separately as well. */
typedef struct OperateLogOrigin {
    char szInterface[33]; /* the way in, e.g. "Redfish" or "CLI" */
    char szSource[47];    /* who asked: a user name, a client address or a tool */
    uint32_t uiOriginId;  /* e.g. the session's identifier */
} OperateLogOrigin;

#define OPERATELOG_RESULT_SUCCESS 'c'
#define OPERATELOG_RESULT_FAILURE 'C'

/* Appends one line to BMC_OPERATE_LOG_PATH:
 *   TIME origin=ID interface="..." source="TEXT" result=L line=N module=M message="..."
 * with TIME as in the diagnostic log, the interface from `origin` (empty when null), TEXT
 * the first 47 bytes at most of `originText`, L the result letter, and every '"', '\'
 * and control byte of a quoted text written as \xNN, so one entry is always one line.
 * 0 when written; -1 for a null message or a failed write. */
BMC_PLATFORM_API int OPERATELOG_AddLogComm(uint32_t originId, uint8_t resultLetter,
                                           const char* message, const void* origin,
                                           const char* originText, uint32_t line, uint32_t module);

/* Task service: tasks that users see and follow (Redfish TaskService). A task is
 * registered once and then updated; the service keeps each task's registration and its
 * latest update in the key-value database, under the file lock "bmc_task_service.lock",
 * so that any process can read them:
 *   key TASK_SERVICE_DB_KEY_LAST_ID           u32, the last identifier handed out
 *   key TASK_SERVICE_DB_KEY_REGISTRATION + n  TaskServiceStoredRegistration
 *   key TASK_SERVICE_DB_KEY_UPDATE + n        TaskServiceStoredUpdate
 * with n = 1 + (id - 1) % TASK_SERVICE_SLOTS: the latest TASK_SERVICE_SLOTS tasks are
 * kept, an older one's place is taken over by a new task. Identifiers run 1, 2, ... */
#define TASK_SERVICE_LOCK_NAME "bmc_task_service.lock"
#define TASK_SERVICE_SLOTS 256u
#define TASK_SERVICE_DB_KEY_LAST_ID 0x7a5c0000u
#define TASK_SERVICE_DB_KEY_REGISTRATION 0x7a5c0000u
#define TASK_SERVICE_DB_KEY_UPDATE 0x7a5d0000u

/* The caller's record of its task. */
typedef struct TaskServiceTaskInfo {
    uint32_t uiTaskId;    /* set by TASK_TaskServiceRegister */
    uint32_t uiStartTime; /* set through the third argument of TASK_TaskServiceRegister */
} TaskServiceTaskInfo;

/* A task's registration: 668 bytes, texts terminated within their fields. */
typedef struct TaskServiceRegistration {
    char szName[257];       /* "<object> <type>", shown as the task's name */
    char szType[49];        /* e.g. "Upload Task" */
    char szKey[33];         /* what the task works on, e.g. "LogoUploading" */
    char szOwner[16];       /* the registering process */
    char szMessageId[65];   /* message registry entry for the task's messages */
    char szMessageArg[65];  /* its argument */
    char szDescription[65]; /* shown as the task's description */
    char szTarget[40];      /* the resource acted on */
    char szHealth[10];      /* e.g. "OK" */
    char szTrigger[40];     /* why the task runs, e.g. "Automatic." */
    uint8_t ucClass;        /* task class and subclass, repeated in every update */
    uint8_t ucSubClass;
    uint8_t ucReserved1;
    uint8_t ucKind; /* the kind also passed to TASK_TaskServiceRegister */
    uint32_t uiRevision;
    uint32_t uiFlags;
    uint32_t uiReserved2;
    uint32_t uiInterval; /* seconds between updates the caller intends */
    uint8_t aucReserved3[8];
} TaskServiceRegistration;

/* An update of a registered task: 676 bytes. */
typedef struct TaskServiceUpdate {
    uint32_t uiReserved1;
    uint32_t uiTaskId; /* as stored in TaskServiceTaskInfo by the registration */
    uint32_t uiInterval;
    char szName[257];
    char szType[49];
    char szKey[33];
    uint8_t aucReserved2[285];
    char szMessage[33]; /* e.g. "logo uploading" */
    uint8_t ucState;    /* 0 running, 2 completed, 4 exception (failed) */
    uint8_t ucPercent;  /* 0..100 */
    uint8_t ucClass;
    uint8_t ucSubClass;
    uint8_t aucReserved3[3];
} TaskServiceUpdate;

enum {
    TASK_SERVICE_STATE_RUNNING = 0,
    TASK_SERVICE_STATE_COMPLETED = 2,
    TASK_SERVICE_STATE_EXCEPTION = 4
};

/* Records as stored. */
typedef struct TaskServiceStoredRegistration {
    uint32_t uiTaskId;
    uint32_t uiKind;
    uint32_t uiTime; /* seconds since the epoch */
    TaskServiceRegistration stRecord;
} TaskServiceStoredRegistration;

typedef struct TaskServiceStoredUpdate {
    uint32_t uiTaskId;
    uint32_t uiCount; /* updates accepted so far; 0 before the first */
    uint32_t uiTime;  /* of the latest update */
    TaskServiceUpdate stRecord;
} TaskServiceStoredUpdate;

/* Registers a task described by `registration` (a TaskServiceRegistration): stores it
 * with a new identifier, writes the identifier as the first u32 of `taskInfo` and the
 * registration time (seconds since the epoch) into `*startTime` when not null. 0, or -1
 * for null arguments, 1 when the database or the lock is unavailable or a write fails. */
BMC_PLATFORM_API int TASK_TaskServiceRegister(const void* registration, void* taskInfo,
                                              uint32_t* startTime, uint8_t kind);
/* Replaces the latest update of the task named by the update record's uiTaskId (a
 * TaskServiceUpdate). 0; -1 for a null record or a task the service does not know (never
 * registered, or its place was taken by a newer task); 1 on a database or lock failure. */
BMC_PLATFORM_API int TASK_TaskServiceUpdate(const void* update);
/* Reads what the service holds for task `id`; either output may be null. Before the first
 * update, `update` holds the identifier, a count of 0 and a zeroed record. 0; -1 for an
 * unknown task; 1 on a database or lock failure. */
BMC_PLATFORM_API int TASK_TaskServiceRead(uint32_t id, TaskServiceStoredRegistration* registration,
                                          TaskServiceStoredUpdate* update);
/* The last identifier handed out (0 before the first registration, or when the database
 * cannot be read). */
BMC_PLATFORM_API uint32_t TASK_TaskServiceLastId(void);

/* Compile-time checks of the records' layouts (the same on 32-bit ARM). */
#ifdef __cplusplus
#define BMC_PLATFORM_STATIC_ASSERT static_assert
#else
#define BMC_PLATFORM_STATIC_ASSERT _Static_assert
#endif
#define BMC_PLATFORM_AT(type, field, off) \
    BMC_PLATFORM_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field " offset")

BMC_PLATFORM_STATIC_ASSERT(sizeof(OperateLogOrigin) == 84, "OperateLogOrigin size");
BMC_PLATFORM_AT(OperateLogOrigin, szSource, 33);
BMC_PLATFORM_AT(OperateLogOrigin, uiOriginId, 80);

BMC_PLATFORM_STATIC_ASSERT(sizeof(TaskServiceTaskInfo) == 8, "TaskServiceTaskInfo size");

BMC_PLATFORM_STATIC_ASSERT(sizeof(TaskServiceRegistration) == 668, "TaskServiceRegistration size");
BMC_PLATFORM_AT(TaskServiceRegistration, szName, 0);
BMC_PLATFORM_AT(TaskServiceRegistration, szType, 257);
BMC_PLATFORM_AT(TaskServiceRegistration, szKey, 306);
BMC_PLATFORM_AT(TaskServiceRegistration, szOwner, 339);
BMC_PLATFORM_AT(TaskServiceRegistration, szMessageId, 355);
BMC_PLATFORM_AT(TaskServiceRegistration, szMessageArg, 420);
BMC_PLATFORM_AT(TaskServiceRegistration, szDescription, 485);
BMC_PLATFORM_AT(TaskServiceRegistration, szTarget, 550);
BMC_PLATFORM_AT(TaskServiceRegistration, szHealth, 590);
BMC_PLATFORM_AT(TaskServiceRegistration, szTrigger, 600);
BMC_PLATFORM_AT(TaskServiceRegistration, ucClass, 640);
BMC_PLATFORM_AT(TaskServiceRegistration, ucSubClass, 641);
BMC_PLATFORM_AT(TaskServiceRegistration, ucKind, 643);
BMC_PLATFORM_AT(TaskServiceRegistration, uiRevision, 644);
BMC_PLATFORM_AT(TaskServiceRegistration, uiFlags, 648);
BMC_PLATFORM_AT(TaskServiceRegistration, uiInterval, 656);

BMC_PLATFORM_STATIC_ASSERT(sizeof(TaskServiceUpdate) == 676, "TaskServiceUpdate size");
BMC_PLATFORM_AT(TaskServiceUpdate, uiTaskId, 4);
BMC_PLATFORM_AT(TaskServiceUpdate, uiInterval, 8);
BMC_PLATFORM_AT(TaskServiceUpdate, szName, 12);
BMC_PLATFORM_AT(TaskServiceUpdate, szType, 269);
BMC_PLATFORM_AT(TaskServiceUpdate, szKey, 318);
BMC_PLATFORM_AT(TaskServiceUpdate, szMessage, 636);
BMC_PLATFORM_AT(TaskServiceUpdate, ucState, 669);
BMC_PLATFORM_AT(TaskServiceUpdate, ucPercent, 670);
BMC_PLATFORM_AT(TaskServiceUpdate, ucClass, 671);
BMC_PLATFORM_AT(TaskServiceUpdate, ucSubClass, 672);

#undef BMC_PLATFORM_AT

#ifdef __cplusplus
}
#endif

#endif /* BMC_PLATFORM_H */
