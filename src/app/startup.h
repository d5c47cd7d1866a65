// Start-up steps that make library loading safe before anything else loads.
#pragma once

void RemoveCurrentDirFromDllSearch(void);
void RestrictDllSearchToSystem32(void);
