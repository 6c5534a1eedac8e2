// Progress writing shared by the worker frame and the progress callback.
#pragma once

#include "frontend/filehandle_ulanddl.h"

namespace fh {

// A worker thread binds itself to its task's progress file as the file is when the task
// starts. If the task is deleted or expired and its identifier given to a new task, the
// path names a new file: the old worker's writes then find another file and are dropped
// instead of landing in the new task's record.
bool BindProgressFileToThread(const char* path);  // true when the file is held
void UnbindProgressFileFromThread();

enum class WriteOutcome { kWritten, kMissing, kNotOurs, kFailed };

// Stamps the time into `rec` and writes it to `path`. With `ownerOnly`, writes only
// when the file is the one bound to the calling thread.
WriteOutcome WriteProgressRecord(ComponentProcess* rec, const char* path, bool ownerOnly);

// As FILEHANDLE_UploadDownloadSetProgress, but a worker bound to its progress file writes
// only to that file (see BindProgressFileToThread).
WriteOutcome WriteTaskProgress(ComponentProcess* rec, const char* path);

// Whether a write's outcome says that the calling worker's task is gone: its bound
// progress file was removed, or the path now names another task's file. The worker then
// stops its transfer.
bool TaskGone(WriteOutcome outcome);

}  // namespace fh
