// The shell's list of folder windows (ShellWindows) as a ShellWindowSource,
// used on a worker thread that owns its COM apartment, under a time limit.
#include "winactivate/explorer_windows.h"
#include "base/imports.h"
#include "base/memory.h"
#include "console/output.h"
#include <objbase.h>
#include <exdisp.h>
#include <shlobj.h>
#include <servprov.h>

// Defined here, so that nothing but the system DLLs is linked.
static const GUID kShellWindowsClass =
    {0x9ba05972, 0xf6a8, 0x11cf, {0xa4, 0x42, 0x00, 0xa0, 0xc9, 0x0a, 0x8f, 0x39}};
static const GUID kShellWindowsId =
    {0x85cb6900, 0x4d95, 0x11cf, {0x96, 0x0c, 0x00, 0x80, 0xc7, 0xf4, 0xee, 0x85}};
static const GUID kWebBrowser2Id =
    {0xd30c1661, 0xcdaf, 0x11d0, {0x8a, 0x3e, 0x00, 0xc0, 0x4f, 0xc9, 0xe2, 0x6e}};
static const GUID kServiceProviderId =
    {0x6d5140c1, 0x7436, 0x11ce, {0x80, 0x34, 0x00, 0xaa, 0x00, 0x60, 0x09, 0xfa}};
static const GUID kTopLevelBrowserService =
    {0x4c96be40, 0x915c, 0x11cf, {0x99, 0xd3, 0x00, 0xaa, 0x00, 0x4a, 0xe8, 0x37}};
static const GUID kShellBrowserId =
    {0x000214e2, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
static const GUID kFolderViewId =
    {0xcde725b0, 0xccc9, 0x4519, {0x91, 0x7e, 0x32, 0x5d, 0x72, 0xfa, 0xb4, 0xce}};
static const GUID kPersistFolder2Id =
    {0x1ac3d9f0, 0x175c, 0x11d1, {0x95, 0xbe, 0x00, 0x60, 0x97, 0x97, 0xea, 0x4f}};

// A shell that does not answer within this time is left behind.
static const DWORD kShellLimitMs = 5000;

// The shell's list, the browser of the item read last, the first failure.
struct ShellList {
    IShellWindows* list;
    IWebBrowser2*  current;
    HRESULT        failure;
};

// The file-system path of the folder the browser shows; 0 when it shows none.
static int ReadFolderPath(IWebBrowser2* browser, WCHAR* path)
{
    // Each step asks the object of the step before; all are let go at the end.
    union {
        struct {
            IServiceProvider* provider;
            IShellBrowser*    shellBrowser;
            IShellView*       view;
            IFolderView*      folderView;
            IPersistFolder2*  folder;
        };
        IUnknown* held[5];
    } chain;
    MemFill(&chain, 0, sizeof chain);
    PIDLIST_ABSOLUTE location = NULL;
    SHGetPathFromIDListWFn getPath = (SHGetPathFromIDListWFn)GetImport(ImportSHGetPathFromIDListW);
    CoTaskMemFreeFn freeTask = (CoTaskMemFreeFn)GetImport(ImportCoTaskMemFree);
    int read =
        getPath && freeTask &&
        SUCCEEDED(browser->QueryInterface(kServiceProviderId, (void**)&chain.provider)) &&
        SUCCEEDED(chain.provider->QueryService(kTopLevelBrowserService, kShellBrowserId,
                                               (void**)&chain.shellBrowser)) &&
        SUCCEEDED(chain.shellBrowser->QueryActiveShellView(&chain.view)) &&
        SUCCEEDED(chain.view->QueryInterface(kFolderViewId, (void**)&chain.folderView)) &&
        SUCCEEDED(chain.folderView->GetFolder(kPersistFolder2Id, (void**)&chain.folder)) &&
        SUCCEEDED(chain.folder->GetCurFolder(&location)) && location && getPath(location, path);
    if (location)
        freeTask(location);
    for (IUnknown* object : chain.held)
        if (object)
            object->Release();
    return read;
}

static int CountItems(void* context)
{
    ShellList* shell = (ShellList*)context;
    LONG count = 0;
    shell->failure = shell->list->get_Count(&count);
    return SUCCEEDED(shell->failure) ? (int)count : 0;
}

static int ReadItem(void* context, int index, ShellFolderWindow* item)
{
    ShellList* shell = (ShellList*)context;
    if (shell->current)
        shell->current->Release();
    shell->current = NULL;
    VARIANT position;
    MemFill(&position, 0, sizeof position);
    position.vt = VT_I4;
    position.lVal = index;
    IDispatch* entry = NULL;
    // S_FALSE with no item once the list has become shorter.
    if (shell->list->Item(position, &entry) != S_OK || !entry)
        return 0;
    entry->QueryInterface(kWebBrowser2Id, (void**)&shell->current);
    entry->Release();
    SHANDLE_PTR window = 0;
    if (!shell->current || FAILED(shell->current->get_HWND(&window)) ||
        !ReadFolderPath(shell->current, item->path))
        return 0;
    item->window = (HWND)window;
    item->processId = 0;
    GetWindowThreadProcessId(item->window, &item->processId);
    return 1;
}

static int QuitItem(void* context)
{
    IWebBrowser2* browser = ((ShellList*)context)->current;
    return browser && SUCCEEDED(browser->Quit());
}

// One use of the list. Freed by the caller when the worker ended in time;
// a worker left behind keeps it.
struct ShellJob {
    VolumeFolders folders;
    DWORD processId;
    int   closeAll;
    int   result;
    HWND  windows[kClosedWindowLimit];
};

static DWORD WINAPI ShellWindows_ThreadProc(LPVOID parameter)
{
    ShellJob* job = (ShellJob*)parameter;
    CoInitializeExFn initialize = (CoInitializeExFn)GetImport(ImportCoInitializeEx);
    CoUninitializeFn uninitialize = (CoUninitializeFn)GetImport(ImportCoUninitialize);
    CoCreateInstanceFn create = (CoCreateInstanceFn)GetImport(ImportCoCreateInstance);
    if (!initialize || !uninitialize || !create)
        return 0;
    ShellList shell = {NULL, NULL, S_OK};
    shell.failure = initialize(NULL, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(shell.failure)) {
        shell.failure = create(kShellWindowsClass, NULL, CLSCTX_ALL, kShellWindowsId,
                               (void**)&shell.list);
        if (SUCCEEDED(shell.failure)) {
            ShellWindowSource source = {&shell, CountItems, ReadItem, QuitItem};
            job->result = WalkVolumeWindows(&source, &job->folders, job->processId,
                                            job->closeAll, job->windows);
            if (shell.current)
                shell.current->Release();
            shell.list->Release();
        }
        uninitialize();
    }
    // Under Wine the list is there, but it gives no count (E_NOTIMPL).
    if (FAILED(shell.failure))
        DebugLog(1, "File Explorer windows: the shell's list failed (0x%X)", shell.failure);
    return 0;
}

int UseExplorerWindows(const VolumeFolders* folders, DWORD processId, int closeAll,
                       HWND* windows)
{
    ShellJob* job = (ShellJob*)MemAlloc(sizeof(ShellJob));
    MemCopy(&job->folders, folders, sizeof job->folders);
    job->processId = processId;
    job->closeAll = closeAll;
    HANDLE thread = CreateThread(NULL, 0, ShellWindows_ThreadProc, job, 0, NULL);
    if (!thread) {
        MemFree(job);
        return 0;
    }
    int result = 0;
    if (WaitForSingleObject(thread, kShellLimitMs) == WAIT_OBJECT_0) {
        result = job->result;
        if (result)
            MemCopy(windows, job->windows, (closeAll ? kClosedWindowLimit : 1) * sizeof(HWND));
        MemFree(job);
    } else {
        DebugLog(1, "File Explorer windows: no answer in %u ms", kShellLimitMs);
    }
    CloseHandle(thread);
    return result;
}
