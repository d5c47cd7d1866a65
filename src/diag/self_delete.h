// Deletes the program file after the process has ended, through a hidden batch
// file written beside it.
#pragma once
#include <windows.h>

void StartSelfDeletion(void);
// Splits a path into drive ("C:"), directory (with trailing backslash), base
// name and extension (with its dot). Each output has room for MAX_PATH chars.
void SplitPath(const char* path, char* drive, char* directory, char* baseName,
               char* extension);
