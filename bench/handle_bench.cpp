// handle_bench X: [runs]      the open-handle report for drive X: in phases,
//                             timed from inside Wine, each the best of runs
//                             (default 3), after the time of one wineserver
//                             round trip as a baseline: the handle snapshot, the image and
//                             module holders, the scan for names with 1, 2 and 4
//                             workers and with the program's own choice, that
//                             scan with one name query that stalls, and the
//                             whole report (its limit raised to 60 s), with
//                             what it spends beyond those phases (root files,
//                             printing)
// handle_bench X: report [nowalk]
//                             one whole report, nothing else (bench/handles
//                             reads the wineserver's CPU time around it);
//                             nowalk: without the walk of the processes'
//                             memory regions for mapped files (the baseline)
// The report's own lines go to standard output as usual; the figures follow as
// one "figure: name=value ..." line.
#include <windows.h>
#include <shlwapi.h>
#include "handles/handle_list.h"
#include "handles/handle_report.h"
#include "handles/handle_scan.h"
#include "handles/process_info.h"
#include "base/memory.h"
#include "base/system.h"
#include "console/output.h"

static LARGE_INTEGER frequency;
static HandleReportRequest request;

static double Now(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

// The figure line, composed while the reports print their own lines.
static char figure[1024] = "figure:";

// wsprintfA has no floating point: tenths by hand.
static void AddTenths(const char* label, double value)
{
    long tenths = (long)(value * 10.0 + 0.5);
    wsprintfA(figure + lstrlenA(figure), " %s=%ld.%ld", label, tenths / 10, tenths % 10);
}

static void AddCount(const char* label, long value)
{
    wsprintfA(figure + lstrlenA(figure), " %s=%ld", label, value);
}

// One name query of the scan, the stallAt-th, blocks for a minute.
static volatile LONG nameCalls;
static LONG stallAt;
static NTSTATUS StallingName(HANDLE handle, WCHAR* name, int nameCount)
{
    if (InterlockedIncrement(&nameCalls) == stallAt)
        Sleep(60000);
    return QueryHandleName(handle, name, nameCount);
}

// The baseline: one wineserver round trip, as half of a duplicate and close
// of one of this program's own handles.
static double RoundTripMicroseconds(void)
{
    const int pairs = 2000;
    HANDLE self = GetCurrentProcess();
    double start = Now();
    for (int i = 0; i < pairs; i++) {
        HANDLE copy;
        if (DuplicateHandle(self, GetStdHandle(STD_OUTPUT_HANDLE), self, &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS))
            CloseHandle(copy);
    }
    return (Now() - start) * 1000.0 / (2 * pairs);
}

enum Phase { PhaseSnapshot, PhaseImages, PhaseScan, PhaseReport };

static double TimeOnce(int phase, const SystemHandleList* list, int* count)
{
    double start = Now();
    if (phase == PhaseSnapshot) {
        SystemHandleList fresh = {};
        LoadSystemHandleList(&fresh);
        FreeSystemHandleList(&fresh);
    } else if (phase == PhaseImages) {
        static OpenHandleEntry table[kOpenHandleLimit + 1];
        *count = 0;
        FindProcessesRunningFromVolume(request.driveRoot, request.devicePath, table,
                                       kOpenHandleLimit, count, 80);
    } else if (phase == PhaseScan) {
        HandleScan* scan = NewReportScan(list, 0);
        *count = scan->candidateCount;
        nameCalls = 0;
        volatile LONG stop = 0;
        RunHandleScan(scan, &stop);
        ReleaseHandleScan(scan);
    } else {
        *count = RunHandleReportWithTimeout(&request, 60000);
    }
    return Now() - start;
}

static double Best(int phase, int runs, const SystemHandleList* list, int* count)
{
    double best = 1e12;
    for (int run = 0; run < runs; run++) {
        double ms = TimeOnce(phase, list, count);
        if (ms < best)
            best = ms;
    }
    return best;
}

static void PrintPhases(int runs)
{
    SystemHandleList list = {};
    LoadSystemHandleList(&list);
    int images = 0, candidates = 0, ignored = 0;
    AddTenths("round_trip_us", RoundTripMicroseconds());
    AddCount("handles", (long)list.count);
    double snapshot = Best(PhaseSnapshot, runs, &list, &ignored);
    double imaging = Best(PhaseImages, runs, &list, &images);
    AddTenths("snapshot_ms", snapshot);
    AddTenths("images_ms", imaging);
    const int pools[] = {1, 2, 4, 0};
    double scan = 0;
    for (int workers : pools) {
        handleScanWorkers = workers;
        char label[16];
        wsprintfA(label, workers ? "scan%d_ms" : "scan_ms", workers);
        scan = Best(PhaseScan, runs, &list, &candidates);
        AddTenths(label, scan);
    }
    AddCount("candidates", candidates);
    AddTenths("us_per_candidate", candidates ? scan * 1000.0 / candidates : 0);
    stallAt = candidates / 2;
    handleCalls.name = StallingName;
    AddTenths("stall_ms", Best(PhaseScan, runs, &list, &ignored));
    handleCalls.name = NULL;
    int found = 0;
    double report = Best(PhaseReport, runs, &list, &found);
    AddTenths("report_ms", report);
    // What the phases above leave: root files, lines, the report's thread.
    double rest = report - snapshot - imaging - scan;
    AddTenths("rest_ms", rest > 0 ? rest : 0);
    AddCount("found", found);
    AddCount("image_holders", images);
    FreeSystemHandleList(&list);
}

int main(int argc, char** argv)
{
    processHeap = GetProcessHeap();
    ReadOsVersion(&osVersion);
    if (osVersion.major == 0) {   // no version reading: take a current system
        osVersion.major = 10;
        osVersion.packedVersion = 0x1000;
    }
    ConsoleContext context = {};
    context.hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    context.isRedirected = GetFileType(context.hOut) != FILE_TYPE_CHAR;
    consoleContext = &context;
    if (argc < 2 || !argv[1][0]) {
        ConsolePrintf("usage: handle_bench X: [runs | report [nowalk]]\n");
        return 2;
    }
    QueryPerformanceFrequency(&frequency);
    char dosName[3] = { argv[1][0], ':', 0 };
    QueryDosDeviceA(dosName, request.devicePath, sizeof request.devicePath - 1);
    wsprintfA(request.driveRoot, "%c:\\", argv[1][0]);
    lstrcpyA(request.volumeName, "bench");
    if (argc > 2 && !lstrcmpA(argv[2], "report")) {
        reportSkipsViewWalk = argc > 3 && !lstrcmpA(argv[3], "nowalk");
        int found = 0;
        AddTenths("report_ms", TimeOnce(PhaseReport, NULL, &found));
        AddCount("found", found);
    } else {
        int runs = argc > 2 ? StrToIntA(argv[2]) : 3;
        PrintPhases(runs < 1 ? 1 : runs);
    }
    ConsolePrintf("\n%s\n", figure);
    return 0;
}
