#include "frame/options.h"
#include "frame/text_util.h"
#include "console/output.h"
#include <shlwapi.h>

DWORD optForce, optLoop, optShowHandles, optActivateWindows, optNoAbout,
      optSelfDelete, optDebug, optHandlesV;
char exePath[MAX_PATH];
FileVersionRecord ownFileVersion;
OsVersionRecord osVersion;

static void ReadWait(const char* option, int* waitMs)
{
    // Only "-W:" followed by a number sets the wait; a negative one means none.
    if (option[2] != ':')
        return;
    int value = StrToIntA(option + 3);
    *waitMs = value < 0 ? 0 : value;
}

int ReadOption(const char* argument, int* waitMs)
{
    char option[MAX_PATH];
    CopyText(option, argument, sizeof option);
    CharUpperA(option);
    if (option[0] == '/')
        option[0] = '-';
    if (option[0] != '-')
        return OptionNotAnOption;

    switch (option[1]) {
    case '?':
        return OptionHelp;
    case 'A':
        optActivateWindows = 1;
        break;
    case 'D':
        if (option[2] == 'B' || option[2] == 'E') {
            optDebug = 1;
            logThreshold = 4;
        }
        break;
    case 'F':
        optForce = 1;
        break;
    case 'H':
        optShowHandles = 1;
        // Characters past the end are zero, so option[3] is safe to test.
        if (option[2] == 'V' || (option[2] && option[3] == 'V'))
            optHandlesV = 1;
        break;
    case 'L':
        optLoop = 1;
        break;
    case 'N':
        if (option[2] == 'A')
            optNoAbout = 1;
        else
            ReadWait(option, waitMs);
        break;
    case 'S':
        optSelfDelete = 1;
        break;
    case 'W':
        ReadWait(option, waitMs);
        break;
    default:
        break;
    }
    return OptionRead;
}
