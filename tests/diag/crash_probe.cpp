// Test program for the crash filter, compiled and linked as Quenbrax.exe is
// (qb_freestanding_program): it sets up as the program's entry does, then
// faults with an access violation at the end of a chain of calls built with
// the product's flags, whose frames the system must walk to reach the filter;
// first it prints how many of them a walk passes ("frames of its own walked").
//   crash_probe [missing-helper]
// missing-helper names a dump helper library that does not exist.
#include <windows.h>
#include <shlwapi.h>
#include "app/startup.h"
#include "base/imports.h"
#include "base/memory.h"
#include "base/system.h"
#include "console/output.h"
#include "diag/crash_dump.h"

// Walks the stack from here the way the system's exception dispatch does and
// counts the frames of this program's image it passes. A frame that has no
// unwind data is taken for a leaf: the walk would then only guess where its
// caller is, so -1 ends the count.
static int __attribute__((noinline)) OwnFramesWalked(void)
{
    CONTEXT context;
    RtlCaptureContext(&context);
    const BYTE* image = (const BYTE*)GetModuleHandleA(NULL);
    const IMAGE_NT_HEADERS* headers =
        (const IMAGE_NT_HEADERS*)(image + ((const IMAGE_DOS_HEADER*)image)->e_lfanew);
    DWORD64 start = (DWORD64)image, end = start + headers->OptionalHeader.SizeOfImage;
    int frames = 0;
    while (context.Rip >= start && context.Rip < end && frames < 64) {
        DWORD64 base = 0, establisher = 0;
        PVOID handlerData = NULL;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, NULL);
        if (!function)
            return -1;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context,
                         &handlerData, &establisher, NULL);
        frames++;
    }
    return frames;
}

// Each level keeps a frame of its own, as the program's routines do; the
// deepest tells how far the walk gets, then writes through a null pointer.
static int __attribute__((noinline)) FaultAtDepth(int depth, volatile char* previous)
{
    volatile char frame[64];
    frame[0] = (char)depth;
    frame[1] = previous ? previous[0] : 0;
    if (depth == 0) {
        ConsolePrintf("frames of its own walked: %d\n", OwnFramesWalked());
        volatile int* volatile target = nullptr;
        *target = 1;
        return 0;
    }
    return FaultAtDepth(depth - 1, frame) + frame[1];   // no tail call
}

extern "C" void __attribute__((noreturn)) ProgramEntry(void)
{
    RemoveCurrentDirFromDllSearch();
    RestrictDllSearchToSystem32();
    processHeap = GetProcessHeap();
    char* commandLine = ReadCommandLine(GetACP());
    if (StrStrA(commandLine, "missing-helper"))
        importLibraryNames[LibraryDbghelp] = "qb_missing_dump_helper.dll";
    ReadExePath();
    SetUnhandledExceptionFilter(CrashDumpFilter);
    ExitProcess((UINT)FaultAtDepth(8, nullptr));
}
