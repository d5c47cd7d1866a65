// One run of the program between start-up and exit: options, banner, DriveSpec
// resolution, the eject, the outcome line and the exit code.
#pragma once
#include <windows.h>

enum ExitCode {
    ExitEjected = 0,
    ExitEjectedByForce = 1,
    ExitHelpOrGone = 2,
    ExitFailed = 3,
    ExitUsage = 5,
};

int  MainFlow(int argumentCount, char** arguments);
void PrintAbout(void);
void PrintUsage(void);
