// Requests to a crypt driver on a worker thread, with a main thread that keeps
// watching the keys while the driver works.
#include "cryptdrv/driver_call.h"
#include "base/memory.h"
#include "console/console_setup.h"
#include "console/output.h"

static const DWORD kAnswerCheckMs = 100;    // the waiting thread looks at the keys this often
static const DWORD kSlowAnswerMs = 10000;   // then "waiting for the driver..." is shown

// The keys of a wait outside the retry loop (whose own watch, with F and Esc,
// serves while it runs). Process-wide, as the key-watch thread copies it when
// it starts.
static const KeyAction kWaitKeys[kKeyActionLimit] = {
    {VK_ESCAPE, "-> cancel...\n"},
};

// One call and its outcome. It lives on the caller's stack: the caller waits
// for the worker to end, however long the driver takes.
struct DriverCallWork {
    const DriverRequest* request;
    DWORD returned;
    DWORD error;
    int   result;
};

static void MakeCall(DriverCallWork* work)
{
    const DriverRequest* request = work->request;
    HANDLE device = CreateFileA(request->driverPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, 0, NULL);
    if (!IsValidHandle(device)) {
        work->error = GetLastError();
        work->result = DriverCallNotOpened;
        return;
    }
    BOOL ok = DeviceIoControl(device, request->code, request->buffer, request->inLength,
                              request->buffer, request->outLength, &work->returned, NULL);
    work->error = ok ? 0 : GetLastError();
    work->result = ok ? DriverCallAnswered : DriverCallFailed;
    CloseHandle(device);
}

static DWORD WINAPI DriverCall_ThreadProc(LPVOID parameter)
{
    MakeCall((DriverCallWork*)parameter);
    return 0;
}

// Waits for the worker while the keys work; a stop asked for meanwhile is
// said once, and the wait goes on until the driver answers.
static void WaitForDriver(HANDLE worker)
{
    DWORD start = GetTickCount();
    int ownWatch = 0, toldSlow = 0, toldStop = 0;
    while (WaitForSingleObject(worker, kAnswerCheckMs) != WAIT_OBJECT_0) {
        if (!ownWatch)
            ownWatch = StartKeyWatch(kWaitKeys);
        if (GetLastKey() == VK_ESCAPE)
            RequestStop();
        if (!toldStop && IsStopRequested()) {
            NewLineIfNeeded();
            ConsolePrintf("stopping when the driver answers...");
            toldStop = 1;
        }
        if (!toldSlow && GetTickCount() - start >= kSlowAnswerMs) {
            NewLineIfNeeded();
            ConsolePrintf("waiting for the driver...");
            toldSlow = 1;
        }
    }
    if (ownWatch > 0)
        StopKeyWatch();
}

DriverCallFn driverCallOverride;

int CallDriver(const DriverRequest* request, DWORD* returned)
{
    if (driverCallOverride)
        return driverCallOverride(request, returned);
    DriverCallWork work;
    MemFill(&work, 0, sizeof work);
    work.request = request;
    HANDLE worker = CreateThread(NULL, 0, DriverCall_ThreadProc, &work, 0, NULL);
    if (worker) {
        WaitForDriver(worker);
        CloseHandle(worker);
    } else {
        MakeCall(&work);   // no thread to be had: the keys wait with the call
    }
    if (work.result == DriverCallAnswered)
        *returned = work.returned;
    SetLastError(work.error);
    return work.result;
}
