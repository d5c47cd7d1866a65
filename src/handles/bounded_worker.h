// A worker thread that runs calls one at a time for a caller that waits for
// each with a time limit, so that a call able to block costs no new thread
// while it returns in time. A call that misses its limit abandons the worker:
// it is never stopped; it finishes that call, releases the call's job and
// ends on its own, and the caller's next call starts a fresh worker.
#pragma once
#include <windows.h>

struct BoundedWorker;

// helper: the worker's own slot for a worker that its calls may use in turn
// (stopped when this worker ends, so it goes with it when abandoned).
typedef DWORD (*WorkerCall)(void* job, BoundedWorker** helper);
// Drops the worker's reference on job once the call has returned.
typedef void (*WorkerRelease)(void* job);

enum WorkerOutcome { WorkerNoThread = -1, WorkerTimedOut = 0, WorkerInTime = 1 };

// Runs call(job) on *worker (started when null) and waits at most limitMs.
// The worker holds one reference on job (the caller's own stays with the
// caller) and drops it with release(job). WorkerInTime with *result when the
// call returned in time; WorkerTimedOut when it did not (*worker is abandoned
// and becomes null); WorkerNoThread when no thread could be started
// (release(job) has been called for the worker's reference).
int RunOnWorker(BoundedWorker** worker, WorkerCall call, void* job,
                WorkerRelease release, DWORD limitMs, DWORD* result);
// Lets an idle worker end; *worker becomes null.
void StopWorker(BoundedWorker** worker);
