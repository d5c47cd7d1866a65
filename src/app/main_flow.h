// The top folder (src/app/): the entry point, start-up, the command line and
// options, the main flow, DriveSpec resolution and the eject flow, which ties
// the driver requests, the open-handle report, window activation and the
// links in other logon sessions together. Nothing includes this folder.
//
// This file: one run of the program between start-up and exit: options,
// banner, DriveSpec resolution, the eject (or with "*" the eject of every
// volume, eject_all.h), the outcome line and the exit code.
#pragma once
#include <windows.h>
#include "console/output.h"

enum ExitCode {
    ExitEjected = 0,
    ExitEjectedByForce = 1,
    ExitHelpOrGone = 2,
    ExitFailed = 3,
    ExitUsage = 5,
};

// driveSpecUtf8: the DriveSpec (arguments[1]) split from the UTF-16 command
// line in UTF-8, for the container search.
int  MainFlow(int argumentCount, char** arguments, const char* driveSpecUtf8);
// The allocation failure handler of the program (ProgramEntry registers it):
// "error: out of memory" on a line of its own, then exit code 3.
void EndOutOfMemory(void);
void PrintAbout(void);
void PrintUsage(void);

// The lines of one volume's eject, also each volume's of "*":
// "ejecting <product> volume <rootPath> ..." with the label when it has one
// (the line stays open for the eject's lines)...
void PrintEjecting(const char* rootPath, const char* productName);
// ... the outcome of an EjectOutcome in its colour (left open; returns the
// exit code it means for a run of that volume alone) ...
int  PrintOutcome(ConsoleContext* context, int outcome);
// ... a warning line after it when the hidden volume's protection refused
// writes to the outer volume (left open) ...
void PrintProtectionWarning(ConsoleContext* context);
// ... and the end of an outcome line: default colour, then an empty line.
void EndOutcomeLine(ConsoleContext* context);
