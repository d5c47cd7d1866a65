#include "handles/bounded_worker.h"
#include "base/memory.h"

struct BoundedWorker {
    volatile LONG references;   // the caller and the thread
    volatile LONG quit;         // set by the caller when it lets the thread go
    HANDLE        start;        // auto-reset: a call is waiting, or quit is set
    HANDLE        done;         // auto-reset: the call has returned
    WorkerCall    call;         // written by the caller before start is set
    void*         job;          // the call's job; null once the thread took it
    WorkerRelease release;
    DWORD         result;
    BoundedWorker* helper;      // owned by the thread
};

static void ReleaseWorker(BoundedWorker* worker)
{
    if (InterlockedDecrement(&worker->references) != 0)
        return;
    CloseHandle(worker->start);
    CloseHandle(worker->done);
    MemFree(worker);
}

static DWORD WINAPI BoundedWorker_ThreadProc(LPVOID parameter)
{
    BoundedWorker* worker = (BoundedWorker*)parameter;
    for (;;) {
        WaitForSingleObject(worker->start, INFINITE);
        int quit = __atomic_load_n(&worker->quit, __ATOMIC_ACQUIRE);
        void* job = worker->job;
        if (job) {
            // A call handed over just before the caller gave up is not run,
            // but its job is released all the same.
            worker->job = NULL;
            if (!quit)
                worker->result = worker->call(job, &worker->helper);
            worker->release(job);
            SetEvent(worker->done);
        }
        if (quit || __atomic_load_n(&worker->quit, __ATOMIC_ACQUIRE))
            break;
    }
    StopWorker(&worker->helper);
    ReleaseWorker(worker);
    return 0;
}

static BoundedWorker* StartWorker(void)
{
    BoundedWorker* worker = (BoundedWorker*)MemAlloc(sizeof(BoundedWorker));
    worker->start = CreateEventA(NULL, FALSE, FALSE, NULL);
    worker->done = CreateEventA(NULL, FALSE, FALSE, NULL);
    worker->references = 2;
    HANDLE thread = NULL;
    if (worker->start && worker->done)
        thread = CreateThread(NULL, 0, BoundedWorker_ThreadProc, worker, 0, NULL);
    if (!thread) {
        if (worker->start)
            CloseHandle(worker->start);
        if (worker->done)
            CloseHandle(worker->done);
        MemFree(worker);
        return NULL;
    }
    CloseHandle(thread);
    return worker;
}

void StopWorker(BoundedWorker** worker)
{
    BoundedWorker* stopping = *worker;
    if (!stopping)
        return;
    *worker = NULL;
    __atomic_store_n(&stopping->quit, 1, __ATOMIC_RELEASE);
    SetEvent(stopping->start);
    ReleaseWorker(stopping);
}

int RunOnWorker(BoundedWorker** worker, WorkerCall call, void* job,
                WorkerRelease release, DWORD limitMs, DWORD* result)
{
    if (!*worker)
        *worker = StartWorker();
    BoundedWorker* running = *worker;
    if (!running) {
        release(job);
        return WorkerNoThread;
    }
    running->call = call;
    running->job = job;
    running->release = release;
    SetEvent(running->start);
    if (WaitForSingleObject(running->done, limitMs) == WAIT_OBJECT_0) {
        *result = running->result;
        return WorkerInTime;
    }
    // Still inside the call: the thread ends by itself once it returns.
    StopWorker(worker);
    return WorkerTimedOut;
}
