#include "app/options.h"
#include "base/memory.h"
#include "base/text.h"
#include <shlwapi.h>

void ClearOptions(Options* options)
{
    MemFill(options, 0, sizeof *options);
    options->waitMs = -1;
}

int LogThresholdOf(const Options* options)
{
    return options->optDebug ? 4 : 0;
}

static void ReadWait(const char* option, int* waitMs)
{
    // Only "-W:" followed by a number sets the wait; a negative one means none.
    if (option[2] != ':')
        return;
    int value = StrToIntA(option + 3);
    *waitMs = value < 0 ? 0 : value;
}

int ReadOption(const char* argument, Options* options)
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
        options->optActivateWindows = 1;
        break;
    case 'D':
        if (option[2] == 'B' || option[2] == 'E')
            options->optDebug = 1;
        break;
    case 'F':
        options->optForce = 1;
        break;
    case 'H':
        options->optShowHandles = 1;
        // Characters past the end are zero, so option[3] is safe to test.
        if (option[2] == 'V' || (option[2] && option[3] == 'V'))
            options->optHandlesV = 1;
        break;
    case 'L':
        options->optLoop = 1;
        break;
    case 'N':
        if (option[2] == 'A')
            options->optNoAbout = 1;
        else
            ReadWait(option, &options->waitMs);
        break;
    case 'S':
        options->optSelfDelete = 1;
        break;
    case 'W':
        ReadWait(option, &options->waitMs);
        break;
    case 'X':
        options->optCloseExplorer = 1;
        break;
    default:
        break;
    }
    return OptionRead;
}
