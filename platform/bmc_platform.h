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

#ifdef __cplusplus
}
#endif

#endif /* BMC_PLATFORM_H */
