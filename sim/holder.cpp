// holder: a stand-in for a program that keeps a volume busy.
//
//   holder [--device X:] [--file PATH]... [--deny-share PATH] [--keep PATH] [--load-dll PATH]...
//          [--map PATH]... [--window TITLE]... [--minimized] [--seconds N] [--until PATH] [--report PATH]
//
// It opens what it is told (the volume device \\.\X:, files shared for reading
// and writing (an existing folder as a directory, as File Explorer holds the
// folder a window shows), a file shared with nobody, an existing file that
// others may read and run but neither write nor delete), loads DLLs (a DLL from a volume
// holds it through its image, not a handle), maps files into memory and closes
// their handles (the view alone holds the file, as a database or a cache
// does), shows a visible top-level window per
// --window (a later one lies above an earlier one in Z order), then prints
// "pid N" with its process id on the first line of standard output. That line
// means everything is open. It holds until N seconds (default 600) have passed or
// the file named by --until exists, and then, with --report, writes
//   foreground=0|1       one of its windows is the foreground window
//   minimized=0|1        its foreground window (else its first one) is minimized
//   foreground_hwnd=0xH  the foreground window, whoever owns it
//   window=0xH minimized=0|1 title=TITLE   one line per window, in creation order
// Exit code 0; 3 when something could not be opened or created.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

const int maxItems = 16;

struct Options {
    const char *device = nullptr;
    const char *files[maxItems] = {};
    int fileCount = 0;
    const char *denyShare = nullptr;
    const char *keep = nullptr;
    const char *dlls[maxItems] = {};
    int dllCount = 0;
    const char *maps[maxItems] = {};
    int mapCount = 0;
    const char *windows[maxItems] = {};
    int windowCount = 0;
    bool minimized = false;
    unsigned seconds = 600;
    const char *until = nullptr;
    const char *report = nullptr;
};

HWND windowHandles[maxItems];

int Fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("holder: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return 3;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool ParseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool takesValue = true;
        if (!strcmp(arg, "--minimized")) {
            options->minimized = true;
            takesValue = false;
        } else if (!value) {
            Fail("option %s needs a value", arg);
            return false;
        } else if (!strcmp(arg, "--device")) {
            options->device = value;
        } else if (!strcmp(arg, "--file") && options->fileCount < maxItems) {
            options->files[options->fileCount++] = value;
        } else if (!strcmp(arg, "--deny-share")) {
            options->denyShare = value;
        } else if (!strcmp(arg, "--keep")) {
            options->keep = value;
        } else if (!strcmp(arg, "--load-dll") && options->dllCount < maxItems) {
            options->dlls[options->dllCount++] = value;
        } else if (!strcmp(arg, "--map") && options->mapCount < maxItems) {
            options->maps[options->mapCount++] = value;
        } else if (!strcmp(arg, "--window") && options->windowCount < maxItems) {
            options->windows[options->windowCount++] = value;
        } else if (!strcmp(arg, "--seconds")) {
            options->seconds = (unsigned)strtoul(value, nullptr, 10);
        } else if (!strcmp(arg, "--until")) {
            options->until = value;
        } else if (!strcmp(arg, "--report")) {
            options->report = value;
        } else {
            Fail("unknown option %s", arg);
            return false;
        }
        if (takesValue) i++;
    }
    return true;
}

HANDLE OpenShared(const char *path, DWORD share)
{
    // An existing folder is held as File Explorer holds the folder a window
    // shows: a directory handle for listing.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return CreateFileA(path, FILE_LIST_DIRECTORY, share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // The ANSI call refuses paths of MAX_PATH characters or more (error 206):
    // a full path that long goes through the wide call with the \\?\ prefix.
    size_t length = strlen(path);
    if (length >= MAX_PATH && length < 32000 && path[1] == ':' && path[2] == '\\') {
        static wchar_t wide[32768];
        wcscpy(wide, L"\\\\?\\");
        if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide + 4, 32000))
            return CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void WriteReport(const Options &options)
{
    FILE *out = fopen(options.report, "w");
    if (!out) return;
    HWND foreground = GetForegroundWindow();
    HWND mine = nullptr;
    for (int i = 0; i < options.windowCount; i++)
        if (windowHandles[i] && windowHandles[i] == foreground) mine = foreground;
    HWND shown = mine ? mine : windowHandles[0];
    fprintf(out, "foreground=%d\n", mine ? 1 : 0);
    fprintf(out, "minimized=%d\n", shown && IsIconic(shown) ? 1 : 0);
    fprintf(out, "foreground_hwnd=0x%llX\n", (unsigned long long)(ULONG_PTR)foreground);
    for (int i = 0; i < options.windowCount; i++)
        fprintf(out, "window=0x%llX minimized=%d title=%s\n", (unsigned long long)(ULONG_PTR)windowHandles[i],
                windowHandles[i] && IsIconic(windowHandles[i]) ? 1 : 0, options.windows[i]);
    fclose(out);
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) return 3;

    // Handles stay open until the process ends.
    if (options.device) {
        char path[16];
        snprintf(path, sizeof(path), "\\\\.\\%.2s", options.device);
        HANDLE device = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE) return Fail("cannot open %s: error %lu", path, GetLastError());
    }
    for (int i = 0; i < options.fileCount; i++) {
        HANDLE file = OpenShared(options.files[i], FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        if (file == INVALID_HANDLE_VALUE)
            return Fail("cannot open %s: error %lu", options.files[i], GetLastError());
    }
    if (options.denyShare) {
        HANDLE file = OpenShared(options.denyShare, 0);
        if (file == INVALID_HANDLE_VALUE)
            return Fail("cannot open %s: error %lu", options.denyShare, GetLastError());
    }

    if (options.keep && CreateFileA(options.keep, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr) == INVALID_HANDLE_VALUE)
        return Fail("cannot open %s: error %lu", options.keep, GetLastError());

    // Loaded until the process ends.
    for (int i = 0; i < options.dllCount; i++) {
        if (!LoadLibraryA(options.dlls[i])) return Fail("cannot load %s: error %lu", options.dlls[i], GetLastError());
    }

    // Mapped until the process ends; file and section handles are closed at
    // once. An empty file gets a page of content, since an empty file cannot
    // be mapped.
    for (int i = 0; i < options.mapCount; i++) {
        HANDLE file = OpenShared(options.maps[i], FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        if (file == INVALID_HANDLE_VALUE)
            return Fail("cannot open %s: error %lu", options.maps[i], GetLastError());
        DWORD written = 0;
        static const char page[4096] = "mapped by holder";
        if (GetFileSize(file, nullptr) == 0) WriteFile(file, page, sizeof page, &written, nullptr);
        HANDLE section = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        void *view = section ? MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0) : nullptr;
        DWORD error = GetLastError();
        if (section) CloseHandle(section);
        CloseHandle(file);
        if (!view) return Fail("cannot map %s: error %lu", options.maps[i], error);
    }

    if (options.windowCount) {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
        windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
        windowClass.lpszClassName = "QuenbraxSimHolder";
        RegisterClassA(&windowClass);
        for (int i = 0; i < options.windowCount; i++) {
            HWND window = CreateWindowExA(0, windowClass.lpszClassName, options.windows[i],
                                          WS_OVERLAPPEDWINDOW, 40 + 30 * i, 40 + 30 * i, 320, 200,
                                          nullptr, nullptr, windowClass.hInstance, nullptr);
            if (!window) return Fail("cannot create window '%s': error %lu", options.windows[i], GetLastError());
            windowHandles[i] = window;
            ShowWindow(window, options.minimized ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL);
            UpdateWindow(window);
        }
    }

    printf("pid %lu\n", GetCurrentProcessId());
    fflush(stdout);

    DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (options.until && GetFileAttributesA(options.until) != INVALID_FILE_ATTRIBUTES) break;
        if (GetTickCount() - start >= options.seconds * 1000u) break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    if (options.report) WriteReport(options);
    return 0;
}
