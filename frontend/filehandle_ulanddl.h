/*
 * File-transfer task library: the records and calls that other programs use.
 *
 * A caller fills a ComponentInfo, starts it with FILEHANDLE_UploadDownloadFileImage and
 * gets a task identifier (1..10) at once; a detached worker thread moves the data. Any
 * process that loads the library can poll, list and delete tasks: the task table lives in
 * the platform's database and each task's progress in "/var/uploadDownload<id>.progress".
 *
 * Every record here is a fixed byte layout shared between processes and programs; the
 * sizes and offsets are checked at compile time and are the same on 32-bit ARM and x86-64.
 * This header compiles as C and as C++.
 */
#ifndef FILEHANDLE_ULANDDL_H
#define FILEHANDLE_ULANDDL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "filehandle_results.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FILEHANDLE_API __attribute__((visibility("default")))

#define FILEHANDLE_THREAD_MAX 10u
#define FILEHANDLE_TASK_DB_KEY 0x21d100ffu
#define FILEHANDLE_PROGRESS_PATH_FMT "/var/uploadDownload%u.progress"
#define FILEHANDLE_TASK_LOCK_NAME "filehand_task_db.lock"

/* Protocol codes (ComponentInfo.ucProtocolType). */
enum {
    FILEHANDLE_PROTOCOL_HTTP = 0, /* HTTPS when ucHttpsFlag is 1 */
    FILEHANDLE_PROTOCOL_TFTP = 1,
    FILEHANDLE_PROTOCOL_SFTP = 2,
    FILEHANDLE_PROTOCOL_NFS = 3,
    FILEHANDLE_PROTOCOL_CIFS = 4,
    FILEHANDLE_PROTOCOL_LOCAL = 5, /* Redfish entry only, never a task */
    FILEHANDLE_PROTOCOL_SCP = 7,
    FILEHANDLE_PROTOCOL_FTP = 8
};

/* Handle types (ComponentInfo.ucHandleType). */
enum { FILEHANDLE_DOWNLOAD = 1, FILEHANDLE_UPLOAD = 2 };

/* Progress stages (ComponentProcess.uiStage). */
enum {
    FILEHANDLE_STAGE_NOT_SUPPORTED = 0,
    FILEHANDLE_STAGE_TRANSFERRING = 1,
    FILEHANDLE_STAGE_SUCCEED = 2,
    FILEHANDLE_STAGE_FAILED = 3
};

/* The transfer request: 6320 bytes, 4-byte aligned, texts NUL-terminated. */
typedef struct ComponentInfo {
    uint8_t ucKeepSourceFlag; /* HTTP upload: 1 copies the source, else moves it */
    uint8_t aucReserved1[3];
    uint32_t uiIdentifier; /* written by the transfer entry */
    uint8_t ucProtocolType;
    uint8_t ucHandleType;
    char szIpAdress[1024]; /* TFTP/NFS/CIFS: host; HTTP/SFTP/SCP/FTP: whole URL */
    uint8_t aucReserved2[2];
    uint32_t uiPort;
    char szReadAddress[1024];    /* source */
    char szStorageAddress[1024]; /* destination */
    uint8_t ucHttpAuthFlag;
    char szHttpUserName[32];
    char szHttpPassword[30];
    uint8_t ucHttpsFlag;
    uint8_t ucVerificationType; /* 0 none, 1 server against CA, 2 plus client cert */
    char szCaCertFile[1024];
    char szClientCertFile[1024];
    char szClientKeyFile[1024];
    char szClientKey2[30]; /* passphrase of the client key, if any */
    char szUserName[32];
    char szPassword[33];
} ComponentInfo;

/* A Redfish transfer request: a direction, a file on the controller and a transfer URI
 * (or, for a local copy or move, the other local path). 2050 bytes, byte-packed. */
typedef struct RedfishInfo {
    uint8_t ucFileMode; /* upload: copied to ucKeepSourceFlag; local: 1 moves, else copies */
    uint8_t ucHandleType;
    char szLocalPath[1024];
    char szRedfishCmd[1024];
} RedfishInfo;

/* One slot of the task table as stored in the database. */
typedef struct TaskSlot {
    uint32_t uiIdentifier; /* 0 = free, else slot index + 1 */
    char szProgressFile[256];
} TaskSlot;

typedef struct TaskTable {
    TaskSlot astSlot[FILEHANDLE_THREAD_MAX];
} TaskTable;

/* The record held by a progress file. */
typedef struct ComponentProcess {
    uint32_t uiStage;
    uint32_t uiResultCode;
    uint32_t uiTime; /* seconds since the epoch of the last write */
    uint8_t ucPercent;
    char szDescription[1024];
    char szStageDesc[64]; /* filled by the reader */
    uint8_t aucReserved[3];
} ComponentProcess;

/* Output of FILEHANDLE_GetTransferTaskInfo. */
typedef struct TransferTaskInfo {
    uint8_t ucTaskNum;
    uint8_t aucReserved[3];
    uint32_t auiIdentifier[FILEHANDLE_THREAD_MAX];
} TransferTaskInfo;

/* One logo image the controller can install (see FILEHANDLE_UploadLogo). */
typedef struct LogoInfo {
    char szFileName[40];
    char szDirectory[128];
} LogoInfo;

typedef struct ProgressStageDesc {
    uint32_t uiStage;
    const char* pcDesc; /* NULL ends the table */
} ProgressStageDesc;

FILEHANDLE_API extern const ProgressStageDesc g_astProgressStageDesc[];
FILEHANDLE_API extern const LogoInfo g_astLogoInfo[];
FILEHANDLE_API extern const uint32_t g_uiLogoInfoArrSize;

/* Transfer entry. */
FILEHANDLE_API uint32_t FILEHANDLE_UploadDownloadFileImage(ComponentInfo* pstComponentInfo,
                                                           uint32_t* puiIdentifier);

/* Redfish front end. */
FILEHANDLE_API uint32_t FILEHANDLE_ParseRedfishStruct(const RedfishInfo* pstRedfishInfo,
                                                      ComponentInfo* pstComponentInfo);
FILEHANDLE_API uint32_t FILEHANDLE_UploadDownloadFileImageForRedfish(RedfishInfo* pstRedfishInfo,
                                                                     uint32_t* puiIdentifier);
FILEHANDLE_API uint32_t FILEHANDLE_UploadDownloadFile(RedfishInfo* pstRedfishInfo,
                                                      uint32_t uiStallLimit);

/* Remote file size and logo upload. pstLogOrigin and pstTaskInfo are the platform's
 * operation-log origin and task-service records (see bmc_platform.h). */
FILEHANDLE_API uint32_t FILEHANDLE_GetRemoteFileSize(const RedfishInfo* pstRedfishInfo,
                                                     uint32_t* puiFileSize);
FILEHANDLE_API uint32_t HTTP_GetRemoteFileSize(ComponentInfo* pstDownloadFileInfo,
                                               int32_t* piFileSize);
FILEHANDLE_API uint32_t SFTP_GetRemoteFileSize(ComponentInfo* pstDownloadFileInfo,
                                               int32_t* piFileSize);
FILEHANDLE_API uint32_t FTP_GetRemoteFileSize(ComponentInfo* pstDownloadFileInfo,
                                              int32_t* piFileSize);
FILEHANDLE_API uint32_t FILEHANDLE_UploadLogo(const char* pcRedfishCmd, void* pstLogOrigin,
                                              void* pstTaskInfo);

/* Task table. */
FILEHANDLE_API uint32_t FILEHANLE_IDdetifier_ProgessFile(uint32_t* puiIdentifier);
FILEHANDLE_API uint32_t FILEHANLE_ClearTasksAndConfigID(uint32_t* puiIdentifier);
FILEHANDLE_API uint32_t FILEHANDLE_GetProgressFile(uint32_t uiIdentifier, char* pcProgressFilePath);
FILEHANDLE_API uint32_t FILEHANDLE_GetTransferTaskInfo(TransferTaskInfo* pstTransferTaskInfo);
FILEHANDLE_API uint32_t FILEHANDLE_DeleteProgressInfo(uint32_t uiIdentifier);
FILEHANDLE_API void FILEHANDLE_UploadDownloadDateClean(uint32_t* puiTaskNum);

/* Progress reporting. */
FILEHANDLE_API void FILEHANDLE_UploadDownloadSetProgress(ComponentProcess* pstComponentProcess,
                                                         const char* pcProgressFile);
FILEHANDLE_API uint32_t FILEHANDLE_UploadDownloadProgress(uint32_t uiIdentifier,
                                                          ComponentProcess* pstComponentProcess);
FILEHANDLE_API int FileProgressByCurlFunc(void* pData, double dlDownloadTotal, double dlDownloadNew,
                                          double dlUploadTotal, double dlUploadNew);
FILEHANDLE_API void FILEHANDLE_AddSdl_TaskExecutionFailed(const char* pcFilePathName,
                                                          const char* pcFileResult);

/* Worker starters and thread bodies. */
FILEHANDLE_API uint32_t HTTP_UploadDownloadFile(ComponentInfo* pstComponentInfo);
FILEHANDLE_API uint32_t TFTP_UploadDownloadFile(ComponentInfo* pstComponentInfo);
FILEHANDLE_API uint32_t Mount_CIFSNFSUploadDownloadFile(ComponentInfo* pstComponentInfo);
FILEHANDLE_API uint32_t SFTP_UploadDownloadFile(ComponentInfo* pstComponentInfo);
FILEHANDLE_API uint32_t SCP_UploadDownloadFile(ComponentInfo* pstComponentInfo);
FILEHANDLE_API uint32_t FTP_UploadDownloadFile(ComponentInfo* pstComponentInfo);
FILEHANDLE_API void* HttpThread(void* pArg);
FILEHANDLE_API void* TftpThread(void* pArg);
FILEHANDLE_API void* MountThread(void* pArg);
FILEHANDLE_API void* SftpThread(void* pArg);
FILEHANDLE_API void* ScpThread(void* pArg);
FILEHANDLE_API void* FtpThread(void* pArg);

/* libcurl callbacks and result mapping. */
FILEHANDLE_API size_t DownLoadFileByCurlFunc(void* buffer, size_t size, size_t count, void* stream);
FILEHANDLE_API size_t CurlFileRead_CallBack(void* buffer, size_t size, size_t count, void* stream);
FILEHANDLE_API size_t FTP_DropData(void* buffer, size_t size, size_t count, void* userdata);
FILEHANDLE_API uint32_t CURLCode_Convert_External_ErrorCode(int32_t code);

/* Protocol routines. */
FILEHANDLE_API uint32_t HTTP_DownLoadFileByCurl(ComponentInfo* pstDownloadFileInfo,
                                                char* pcTaskDesc);
FILEHANDLE_API uint32_t HTTP_UploadFileByCurl(ComponentInfo* pstUploadFileInfo, char* pcTaskDesc);
FILEHANDLE_API uint32_t SFTP_DownLoadFileByCurl(ComponentInfo* pstDownloadFileInfo,
                                                char* pcTaskDesc);
FILEHANDLE_API uint32_t SFTP_UploadFileByCurl(ComponentInfo* pstUploadFileInfo, char* pcTaskDesc);
FILEHANDLE_API uint32_t SCP_DownLoadFileByCurl(ComponentInfo* pstDownloadFileInfo,
                                               char* pcTaskDesc);
FILEHANDLE_API uint32_t SCP_UploadFileByCurl(ComponentInfo* pstUploadFileInfo, char* pcTaskDesc);
FILEHANDLE_API uint32_t FTP_DownLoadFileByCurl(ComponentInfo* pstDownloadFileInfo,
                                               char* pcTaskDesc);
FILEHANDLE_API uint32_t FTP_UploadFileByCurl(ComponentInfo* pstUploadFileInfo, char* pcTaskDesc);

FILEHANDLE_API uint32_t TFTP_FileUploadDownload(const char* pcHostsys, uint32_t uiPort,
                                                const char* pcStorageAddress,
                                                const char* pcReadAddress,
                                                const char* pcProgressFile, uint8_t ucHandleType);

FILEHANDLE_API uint32_t MOUNT_UploadDownloadFile(ComponentInfo* pstComponentInfo,
                                                 const char* pcProgressFilePath, char* pcTaskDesc);
FILEHANDLE_API uint32_t MOUNT_FileReadWrite(FILE* pstFdRead, FILE* pstFdWrite,
                                            const char* pcProgressFilePath, uint32_t size);
FILEHANDLE_API void UMOUNT_UploadDownloadClean(const char* pcMountFilePath);
FILEHANDLE_API uint32_t Mount_GetRemoteFileSize(ComponentInfo* pstComponentInfo,
                                                int32_t* piFileSize);

/* Compile-time checks of every stored layout. */
#ifdef __cplusplus
#define FILEHANDLE_STATIC_ASSERT static_assert
#else
#define FILEHANDLE_STATIC_ASSERT _Static_assert
#endif
#define FILEHANDLE_AT(type, field, off) \
    FILEHANDLE_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field " offset")

FILEHANDLE_STATIC_ASSERT(sizeof(ComponentInfo) == 6320, "ComponentInfo size");
FILEHANDLE_AT(ComponentInfo, ucKeepSourceFlag, 0);
FILEHANDLE_AT(ComponentInfo, uiIdentifier, 4);
FILEHANDLE_AT(ComponentInfo, ucProtocolType, 8);
FILEHANDLE_AT(ComponentInfo, ucHandleType, 9);
FILEHANDLE_AT(ComponentInfo, szIpAdress, 10);
FILEHANDLE_AT(ComponentInfo, uiPort, 1036);
FILEHANDLE_AT(ComponentInfo, szReadAddress, 1040);
FILEHANDLE_AT(ComponentInfo, szStorageAddress, 2064);
FILEHANDLE_AT(ComponentInfo, ucHttpAuthFlag, 3088);
FILEHANDLE_AT(ComponentInfo, szHttpUserName, 3089);
FILEHANDLE_AT(ComponentInfo, szHttpPassword, 3121);
FILEHANDLE_AT(ComponentInfo, ucHttpsFlag, 3151);
FILEHANDLE_AT(ComponentInfo, ucVerificationType, 3152);
FILEHANDLE_AT(ComponentInfo, szCaCertFile, 3153);
FILEHANDLE_AT(ComponentInfo, szClientCertFile, 4177);
FILEHANDLE_AT(ComponentInfo, szClientKeyFile, 5201);
FILEHANDLE_AT(ComponentInfo, szClientKey2, 6225);
FILEHANDLE_AT(ComponentInfo, szUserName, 6255);
FILEHANDLE_AT(ComponentInfo, szPassword, 6287);

FILEHANDLE_STATIC_ASSERT(sizeof(RedfishInfo) == 2050, "RedfishInfo size");
FILEHANDLE_AT(RedfishInfo, ucFileMode, 0);
FILEHANDLE_AT(RedfishInfo, ucHandleType, 1);
FILEHANDLE_AT(RedfishInfo, szLocalPath, 2);
FILEHANDLE_AT(RedfishInfo, szRedfishCmd, 1026);

FILEHANDLE_STATIC_ASSERT(sizeof(LogoInfo) == 168, "LogoInfo size");
FILEHANDLE_AT(LogoInfo, szDirectory, 40);

FILEHANDLE_STATIC_ASSERT(sizeof(TaskSlot) == 260, "TaskSlot size");
FILEHANDLE_AT(TaskSlot, uiIdentifier, 0);
FILEHANDLE_AT(TaskSlot, szProgressFile, 4);
FILEHANDLE_STATIC_ASSERT(sizeof(TaskTable) == 2600, "TaskTable size");

FILEHANDLE_STATIC_ASSERT(sizeof(ComponentProcess) == 1104, "ComponentProcess size");
FILEHANDLE_AT(ComponentProcess, uiStage, 0);
FILEHANDLE_AT(ComponentProcess, uiResultCode, 4);
FILEHANDLE_AT(ComponentProcess, uiTime, 8);
FILEHANDLE_AT(ComponentProcess, ucPercent, 12);
FILEHANDLE_AT(ComponentProcess, szDescription, 13);
FILEHANDLE_AT(ComponentProcess, szStageDesc, 1037);

FILEHANDLE_STATIC_ASSERT(sizeof(TransferTaskInfo) == 44, "TransferTaskInfo size");
FILEHANDLE_AT(TransferTaskInfo, ucTaskNum, 0);
FILEHANDLE_AT(TransferTaskInfo, auiIdentifier, 4);

#undef FILEHANDLE_AT

#ifdef __cplusplus
}
#endif

#endif /* FILEHANDLE_ULANDDL_H */
