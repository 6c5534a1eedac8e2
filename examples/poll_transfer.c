/* A small C program on the installed library: start a transfer from a URI and poll it.
 *
 *   cc poll_transfer.c $(pkg-config --cflags --libs filehandle) -o poll_transfer
 *   ./poll_transfer http://127.0.0.1:18080/files/hello.txt /var/tmp/hello.txt
 */
#define _DEFAULT_SOURCE
#include <filehandle_ulanddl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s URI LOCAL\n", argv[0]);
        return 1;
    }
    RedfishInfo request;
    memset(&request, 0, sizeof request);
    request.ucHandleType = FILEHANDLE_DOWNLOAD;
    snprintf(request.szRedfishCmd, sizeof request.szRedfishCmd, "%s", argv[1]);
    snprintf(request.szLocalPath, sizeof request.szLocalPath, "%s", argv[2]);

    uint32_t id = 0;
    uint32_t rc = FILEHANDLE_UploadDownloadFileImageForRedfish(&request, &id);
    if (rc != 0) {
        fprintf(stderr, "not started: 0x%08x\n", (unsigned)rc);
        return 2;
    }
    if (id == 0) {
        printf("local copy done\n");
        return 0;
    }
    ComponentProcess progress;
    for (;;) {
        memset(&progress, 0, sizeof progress);
        rc = FILEHANDLE_UploadDownloadProgress(id, &progress);
        if (rc != 0) {
            fprintf(stderr, "progress unreadable: 0x%08x\n", (unsigned)rc);
            break;
        }
        printf("task %u: %s, %u%%\n", (unsigned)id, progress.szStageDesc, progress.ucPercent);
        if (progress.uiStage == FILEHANDLE_STAGE_SUCCEED || progress.uiStage == FILEHANDLE_STAGE_FAILED) {
            break;
        }
        usleep(200000);
    }
    FILEHANDLE_DeleteProgressInfo(id);
    if (progress.uiStage != FILEHANDLE_STAGE_SUCCEED) {
        printf("failed: 0x%08x %s\n", (unsigned)progress.uiResultCode, progress.szDescription);
        return 3;
    }
    return 0;
}
