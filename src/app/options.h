// The options of one run: one record, filled by ReadOption from the arguments
// after the DriveSpec. Reading them writes nothing else; the main flow hands
// each subsystem what it needs from the record.
#pragma once
#include <windows.h>

struct Options {
    DWORD optForce;             // -f
    DWORD optLoop;              // -l
    DWORD optShowHandles;       // -h
    DWORD optActivateWindows;   // -a
    DWORD optNoAbout;           // -na
    DWORD optSelfDelete;        // -s
    DWORD optDebug;             // -db, -de
    DWORD optHandlesV;          // -hv: only processes with a visible window
    DWORD optCloseExplorer;     // -x: close File Explorer windows on the volume first
    int   waitMs;               // -w:nnnn, -n:nnnn; -1 when not given
};

enum OptionResult {
    OptionRead = 0,       // an option (known or ignored) was read
    OptionHelp = 1,       // -?: banner, usage, exit code 2
    OptionNotAnOption = 2 // does not start with - or /: usage, exit code 5
};

// No option set, no wait given.
void ClearOptions(Options* options);
// Reads one argument after the DriveSpec into options; returns an OptionResult.
int  ReadOption(const char* argument, Options* options);
// The DebugLog threshold the options ask for: 4 with -db or -de, else 0.
int  LogThresholdOf(const Options* options);
