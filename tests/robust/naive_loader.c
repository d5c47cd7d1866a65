/* Control for the planting test: loads version.dll by its bare name, as a
   program without any search-path hardening would. */
#include <windows.h>

int main(void)
{
    return LoadLibraryA("version.dll") ? 0 : 1;
}
