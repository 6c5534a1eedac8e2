/*
 * Result codes of the file-transfer task library, each value named once (included by
 * filehandle_ulanddl.h). 0 is success. 0x3c00xxxx codes reach callers and progress records;
 * 0xbc00xxxx are results of inner operations (task table, starters, TFTP routine, size
 * probes); 0x8100000x are the general results of the URI parser, the size front end and the
 * start-and-wait call. Where one value serves two calls, its comment names both.
 */
#ifndef FILEHANDLE_RESULTS_H
#define FILEHANDLE_RESULTS_H

#define FILEHANDLE_OK 0u

/* Inner operations. */
#define FILEHANDLE_IN_NULL_POINTER 0xbc000001u  /* a required pointer is null */
#define FILEHANDLE_IN_BAD_ARGUMENT 0xbc000002u  /* identifier out of range, or a bad request */
#define FILEHANDLE_IN_NO_DB 0xbc000003u         /* the task database is not there */
#define FILEHANDLE_IN_DB_READ 0xbc000004u       /* the task table could not be read */
#define FILEHANDLE_IN_DB_WRITE 0xbc000005u      /* the task table could not be written */
#define FILEHANDLE_IN_LOCAL_FILE 0xbc000006u    /* the local file could not be opened */
#define FILEHANDLE_IN_NO_SLOT_MATCH 0xbc000009u /* the slot does not hold that identifier */
/* A size probe's libcurl handle could not be made, or the TFTP bridge reported failure. */
#define FILEHANDLE_IN_ENGINE_FAILED 0xbc00000au
#define FILEHANDLE_IN_NO_MEMORY 0xbc00000bu     /* no memory for the worker's request copy */
#define FILEHANDLE_IN_THREAD_FAILED 0xbc00000cu /* the worker thread was not created */
#define FILEHANDLE_IN_TABLE_FULL 0xbc00000du    /* all ten slots are taken */

/* URI parser, size front end and start-and-wait call. */
#define FILEHANDLE_FAILED 0x81000001u       /* refused, failed, stalled or unreadable */
#define FILEHANDLE_NULL_REQUEST 0x81000002u /* start-and-wait: the request is null */

/* Task table and progress calls. */
#define FILEHANDLE_E_NULL_ARGUMENT 0x3c000001u /* a required pointer is null */
#define FILEHANDLE_E_START_FAILED 0x3c000002u  /* no slot was allocated, or no worker started */
#define FILEHANDLE_E_NO_DB 0x3c000004u         /* the task database is not there */
#define FILEHANDLE_E_DB_WRITE 0x3c000005u      /* the task table could not be written */
#define FILEHANDLE_E_DB_READ 0x3c000006u       /* the task table could not be read */
/* No complete progress record could be read; for the logo upload: its transfer failed. */
#define FILEHANDLE_E_PROGRESS 0x3c000009u
/* Deletion: identifier outside 1..10; logo upload: a command naming no logo. */
#define FILEHANDLE_E_BAD_TARGET 0x3c00040au
#define FILEHANDLE_E_NO_PROGRESS_PATH 0x3c000607u /* the task's progress file is not known */
#define FILEHANDLE_E_NO_PROGRESS_FILE 0x3c000608u /* the task's progress file does not exist */

/* Transfer entries. */
#define FILEHANDLE_E_ENTRY_NULL_ARGUMENT 0x3c000401u /* request or identifier pointer is null */
#define FILEHANDLE_E_NO_TASK 0x3c000402u             /* refused, or no task could be allocated */
#define FILEHANDLE_E_BAD_PROTOCOL 0x3c000403u /* protocol code not supported (task deleted) */
#define FILEHANDLE_E_LOCAL_PATH 0x3c000411u   /* the local path holds no '/' */
#define FILEHANDLE_E_ENTRY_NO_DB 0x3c000604u  /* the task database is not there */

/* Transfers, in progress records. */
#define FILEHANDLE_E_LOCAL_FILE 0x3c00000cu        /* the local file could not be opened */
#define FILEHANDLE_E_REMOTE_MISSING 0x3c00000du    /* TFTP: remote file missing or host bad */
#define FILEHANDLE_E_PARAMETER 0x3c00000eu         /* the request's parameters are wrong */
#define FILEHANDLE_E_TRANSFER_FAILED 0x3c00000fu   /* the exchange failed */
#define FILEHANDLE_E_COULD_NOT_CONNECT 0x3c000010u /* the server could not be reached */
#define FILEHANDLE_E_REMOTE_NOT_FOUND 0x3c000011u  /* the remote file does not exist */
#define FILEHANDLE_E_MOUNT_FAILED 0x3c000012u      /* the share could not be mounted */
#define FILEHANDLE_E_SHORT_COPY 0x3c000013u        /* a short read or write through a share */

/* Logo upload. A failure of its transfer or its install comes back with these bits set
 * on the transfer's code: 0x3c000c09 failed, 0x3c000c0f stalled, 0x3c000c0c not installed. */
#define FILEHANDLE_E_LOGO_NULL_ARGUMENT 0x3c000c01u /* a required pointer is null */
#define FILEHANDLE_E_LOGO_START_FAILED 0x3c000c02u  /* no task, or the transfer did not start */
#define FILEHANDLE_E_LOGO_UNSUPPORTED 0x3c000614u   /* switched off on this controller */
#define FILEHANDLE_LOGO_FAILURE_BITS 0x00000c00u

#endif /* FILEHANDLE_RESULTS_H */
