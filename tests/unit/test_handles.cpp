// The open-handle finder: text rules of the report lines, the snapshot's size
// and type rules, and one real snapshot of this process's own handles.
#include <gtest/gtest.h>
#include <string>
#include <shlwapi.h>
#include "handles/handle_list.h"
#include "handles/handle_report.h"
#include "handles/bounded_worker.h"
#include "base/memory.h"
#include "base/system.h"

static std::string Sample(int length)
{
    std::string text;
    for (int i = 0; i < length; i++)
        text += (char)('a' + (i * 7) % 26);
    return text;
}

TEST(ShortenMiddle, KeepsHeadAndTailAroundDots)
{
    struct Case { int length, maximum, expected; };
    const Case cases[] = {
        {300, 196, 196}, {197, 196, 196}, {196, 196, 196}, {10, 196, 10},
        {300, 3, 300}, {300, -20, 300}, {300, 4, 4}, {1500, 5000, 1024},
    };
    for (const Case& c : cases) {
        std::string original = Sample(c.length);
        char text[1600];
        lstrcpynA(text, original.c_str(), sizeof text);
        int result = ShortenMiddle(text, c.maximum);
        SCOPED_TRACE(testing::Message() << c.length << " to " << c.maximum);
        EXPECT_EQ(c.expected, result);
        ASSERT_EQ(c.expected, lstrlenA(text));
        if (c.expected == c.length) {
            EXPECT_EQ(original, text);
            continue;
        }
        int head = c.expected / 2 - 2, tail = c.expected - c.expected / 2 - 1;
        std::string shortened = text;
        EXPECT_EQ(original.substr(0, head), shortened.substr(0, head));
        EXPECT_EQ("...", shortened.substr(head, 3));
        EXPECT_EQ(original.substr(c.length - tail), shortened.substr(head + 3));
    }
    // The documented case: 196 gives the first 96, "..." and the last 97.
    std::string original = Sample(300);
    char text[400];
    lstrcpynA(text, original.c_str(), sizeof text);
    ShortenMiddle(text, 196);
    EXPECT_EQ(original.substr(0, 96) + "..." + original.substr(300 - 97), text);
}

TEST(ReplaceAllNoCase, ReplacesEveryOccurrenceWithinRoom)
{
    struct Case { const char* text; const char* find; const char* with; int room;
                  const char* expected; int count; };
    const Case cases[] = {
        {"\\Device\\VeraCryptVolumeU\\tools\\app.exe", "\\DEVICE\\veracryptvolumeu\\",
         "U:\\", 260, "U:\\tools\\app.exe", 1},
        {"aXbxc", "x", "--", 260, "a--b--c", 2},
        {"abc", "q", "--", 260, "abc", 0},
        {"abc", "", "--", 260, "abc", 0},
        {"ab", "B", "bbbbbb", 5, "abbb", 1},
    };
    for (const Case& c : cases) {
        char text[260];
        lstrcpynA(text, c.text, sizeof text);
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.count, ReplaceAllNoCase(text, c.find, c.with, c.room));
        EXPECT_STREQ(c.expected, text);
    }
}

TEST(ToDisplayPath, VolumeNamesBecomeDrivePaths)
{
    const char* device = "\\Device\\VeraCryptVolumeU";
    struct Case { const char* name; const char* expected; };
    const Case cases[] = {
        {"\\Device\\VeraCryptVolumeU", "\\\\.\\U:"},
        {"\\Device\\VeraCryptVolumeU\\docs\\a.txt", "U:\\docs\\a.txt"},
        {"\\device\\veracryptvolumeu\\docs\\a.txt", "\\device\\veracryptvolumeu\\docs\\a.txt"},
        {"\\Device\\VeraCryptVolumeUX\\a.txt", "\\Device\\VeraCryptVolumeUX\\a.txt"},
        // Wine names files by their DOS-device form.
        {"\\??\\U:\\docs\\a.txt", "U:\\docs\\a.txt"},
        {"\\??\\V:\\docs\\a.txt", "\\??\\V:\\docs\\a.txt"},
        {"C:\\windows\\a.txt", "C:\\windows\\a.txt"},
    };
    for (const Case& c : cases) {
        char path[520];
        lstrcpynA(path, c.name, sizeof path);
        ToDisplayPath(path, sizeof path, device, "U:\\");
        EXPECT_STREQ(c.expected, path) << c.name;
    }
}

TEST(MakeDisplayLine, FormsByOutputAndOption)
{
    const char* device = "\\Device\\VeraCryptVolumeU";
    std::string longPath = "\\Device\\VeraCryptVolumeU\\" + Sample(297);   // U:\ + 297 = 300
    struct Case { const char* exe; std::string name; ULONGLONG handle, pid;
                  int width, redirected, debug; std::string expected; };
    const Case cases[] = {
        {"notepad.exe", std::string(device) + "\\docs\\a.txt", 0x1A4, 1234, 80, 0, 0,
         "notepad.exe : U:\\docs\\a.txt"},
        {"notepad.exe", std::string(device) + "\\docs\\a.txt", 0x1A4, 1234, 80, 0, 1,
         "0x1A4 notepad.exe : U:\\docs\\a.txt"},
        {"notepad.exe", std::string(device) + "\\docs\\a.txt", 0x1A4, 1234, 80, 1, 0,
         "[1234] notepad.exe : U:\\docs\\a.txt"},
        {"svchost.exe", std::string(device) + "\\docs\\a.txt", 0x1A4, 884, 80, 0, 0,
         "svchost.exe [884] : U:\\docs\\a.txt"},
        {"notepad.exe", device, 0x1A4, 1234, 80, 0, 0, "notepad.exe : \\\\.\\U:"},
        {"U:\\tools\\app.exe", "", 0, 1234, 80, 0, 0, "U:\\tools\\app.exe"},
        {"U:\\tools\\app.exe", "", 0, 1234, 80, 1, 0, "[1234] U:\\tools\\app.exe"},
        {"app.exe", longPath, 8, 1, 120, 1, 0, "[1] app.exe : U:\\" + Sample(297)},
    };
    for (const Case& c : cases) {
        OpenHandleEntry entry = {};
        lstrcpynA(entry.exeName, c.exe, sizeof entry.exeName);
        lstrcpynA(entry.objectPath, c.name.c_str(), sizeof entry.objectPath);
        entry.handleValue = c.handle;
        entry.processId = c.pid;
        MakeDisplayLine(&entry, device, "U:\\", c.width, c.redirected, c.debug);
        EXPECT_EQ(c.expected, entry.displayLine);
    }
    // A 300-character path on a 120-column console: 120 - 7 - 4 characters.
    OpenHandleEntry entry = {};
    lstrcpynA(entry.exeName, "app.exe", sizeof entry.exeName);
    lstrcpynA(entry.objectPath, longPath.c_str(), sizeof entry.objectPath);
    MakeDisplayLine(&entry, device, "U:\\", 120, 0, 0);
    EXPECT_EQ(109, lstrlenA(entry.objectPath));
    EXPECT_EQ(119, lstrlenA(entry.displayLine));
    // A service host's line carries its process id as well and still fits.
    lstrcpynA(entry.exeName, "svchost.exe", sizeof entry.exeName);
    lstrcpynA(entry.objectPath, longPath.c_str(), sizeof entry.objectPath);
    entry.processId = 1784;
    MakeDisplayLine(&entry, device, "U:\\", 120, 0, 0);
    EXPECT_EQ(98, lstrlenA(entry.objectPath));
    EXPECT_EQ(119, lstrlenA(entry.displayLine));
    EXPECT_EQ(0, StrCmpNA(entry.displayLine, "svchost.exe [1784] : U:\\", 24));
    // So does a service host started from the volume: its image path was
    // shortened to 120 - 4 when it was found, and its line is no longer.
    std::string image = "U:\\" + Sample(200) + "\\svchost.exe";
    lstrcpynA(entry.exeName, image.c_str(), sizeof entry.exeName);
    ShortenMiddle(entry.exeName, 116);
    entry.objectPath[0] = 0;
    MakeDisplayLine(&entry, device, "U:\\", 120, 0, 0);
    EXPECT_EQ(116, lstrlenA(entry.displayLine));
    EXPECT_TRUE(StrStrA(entry.displayLine, "\\svchost.exe [1784]") != nullptr) << entry.displayLine;
    // Long names in the unshortened redirected form are clipped, not overrun.
    std::string longExe = Sample(259);
    lstrcpynA(entry.exeName, longExe.c_str(), sizeof entry.exeName);
    lstrcpynA(entry.objectPath, (std::string(device) + "\\" + Sample(480)).c_str(),
              sizeof entry.objectPath);
    MakeDisplayLine(&entry, device, "U:\\", 80, 1, 0);
    EXPECT_EQ((int)sizeof entry.displayLine - 1, lstrlenA(entry.displayLine));
}

TEST(HandleRules, FileTypeIndexByVersionBeforeAndAfterLearning)
{
    struct Case { WORD type, learned; DWORD version; int expected; };
    const Case cases[] = {
        {2, 0, 0x0500, 1}, {25, 0, 0x0600, 1}, {28, 0, 0x0600, 0},
        {2, 0, 0x0501, 1}, {28, 0, 0x0501, 1}, {3, 0, 0x0501, 0},
        {3, 0, 0x0601, 1}, {28, 0, 0x0601, 1}, {2, 0, 0x0601, 0},
        {31, 0, 0x1000, 1}, {30, 0, 0x1000, 1}, {29, 0, 0x1000, 0}, {3, 0, 0x0602, 1},
        {37, 37, 0x1000, 1}, {31, 37, 0x1000, 0}, {3, 37, 0x1000, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, IsFileTypeIndex(c.type, c.learned, c.version))
            << c.type << " learned " << c.learned << " version " << std::hex << c.version;
}

TEST(HandleRules, SecondQuerySizeAndAccessMasks)
{
    struct Case { DWORD status; ULONG returned; int decision; ULONG length; };
    const Case cases[] = {
        {0xC0000004, 0, SnapshotQueryAgain, 4000000},
        {0xC0000004, 150000, SnapshotQueryAgain, 230000},
        {0xC0000023, 999, SnapshotQueryAgain, 4000000},
        {0xC0000023, 1000, SnapshotQueryAgain, 81000},
        {0, 5000, SnapshotQueryAgain, 5000},
        {0xC0000022, 150000, SnapshotAccessDenied, 0},
        {0xC0000001, 150000, SnapshotGiveUp, 0},
    };
    for (const Case& c : cases) {
        ULONG length = 0;
        EXPECT_EQ(c.decision, DecideSnapshotLength((NTSTATUS)c.status, c.returned, &length))
            << std::hex << c.status;
        EXPECT_EQ(c.length, length) << std::hex << c.status;
    }
    struct Mask { DWORD mask; int skipped, guarded; };
    const Mask masks[] = {
        {0x00100000, 1, 0}, {0x001F01FF, 1, 0}, {0x0016019F, 1, 0},
        {0x00120089, 0, 1}, {0x0012019F, 0, 1},
        {0x00120116, 0, 0}, {0x001F01FE, 0, 0}, {0, 0, 0},
    };
    for (const Mask& m : masks) {
        EXPECT_EQ(m.skipped, IsSkippedAccessMask(m.mask)) << std::hex << m.mask;
        EXPECT_EQ(m.guarded, IsGuardedAccessMask(m.mask)) << std::hex << m.mask;
    }
}

// A real snapshot: the entry layout, learning the file type and the name
// queries, on a file this test holds itself.
TEST(SystemHandleList, FindsAndNamesOwnFileHandle)
{
    osVersion.major = 10;
    osVersion.packedVersion = 0x1000;
    char directory[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    GetTempFileNameA(directory, "qbh", 0, path);
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    ULONGLONG self = GetCurrentProcessId();

    SystemHandleList first = {}, second = {};
    LoadSystemHandleList(&first, 0);
    ASSERT_GT(first.count, 0u);
    EXPECT_NE(0, fileTypeIndex);
    EXPECT_EQ(INVALID_HANDLE_VALUE, first.probeHandle);   // learned, probe closed
    EXPECT_TRUE(IsHandleInList(&first, (ULONGLONG)(ULONG_PTR)file, self));
    EXPECT_FALSE(IsHandleInList(&first, (ULONGLONG)(ULONG_PTR)event, self));
    EXPECT_FALSE(IsHandleInList(&first, (ULONGLONG)(ULONG_PTR)file, self + 4));
    // Every load finds the same index; no probe is opened once it is known.
    LoadSystemHandleList(&second, 1);
    EXPECT_EQ(INVALID_HANDLE_VALUE, second.probeHandle);
    EXPECT_EQ(1u, second.visibleWindowsOnly);
    FreeSystemHandleList(&second);
    FreeSystemHandleList(&first);
    EXPECT_EQ(0u, first.count);

    char name[kNameTextLength] = {};
    const char* fileName = path + lstrlenA(directory);
    BoundedWorker* worker = nullptr;
    HANDLE duplicate = NULL;
    DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &duplicate, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    EXPECT_EQ(STATUS_SUCCESS,
              QueryObjectNameWithTimeout(&worker, duplicate, name, sizeof name, 1000));
    EXPECT_NE(nullptr, StrStrIA(name, fileName)) << name;
    StopWorker(&worker);

    // One guarded, one direct, one not a disk file: two names come back.
    HANDLE pipeRead, pipeWrite;
    ASSERT_TRUE(CreatePipe(&pipeRead, &pipeWrite, NULL, 0));
    ULONGLONG handles[] = {(ULONGLONG)(ULONG_PTR)file, (ULONGLONG)(ULONG_PTR)file,
                           (ULONGLONG)(ULONG_PTR)pipeRead, 0};
    DWORD masks[] = {0x00120089, 0x00120116, 0x00120089, 0};
    char* names[4] = {};
    volatile LONG stop = 0;
    EXPECT_TRUE(QueryHandleNamesWithTimeout(&worker, self, handles, masks, names, 2000,
                                            &stop));
    for (int i = 0; i < 2; i++) {
        ASSERT_NE(nullptr, names[i]) << i;
        EXPECT_NE(nullptr, StrStrIA(names[i], fileName)) << names[i];
    }
    EXPECT_EQ(nullptr, names[2]);
    // A report that gave up: its worker asks for no name at all.
    char* stopped[4] = {};
    stop = 1;
    EXPECT_FALSE(QueryHandleNamesWithTimeout(&worker, self, handles, masks, stopped, 2000,
                                             &stop));
    EXPECT_EQ(nullptr, stopped[0]);
    StopWorker(&worker);
    for (char* n : names)
        MemFree(n);
    CloseHandle(pipeRead);
    CloseHandle(pipeWrite);
    CloseHandle(event);
    CloseHandle(file);
}

// A worker is kept while its calls return in time; one that misses its limit
// is let go, finishes its call later and releases the job itself.
struct CountedJob {
    volatile LONG references;
    HANDLE gate;               // the call waits for it
    volatile LONG* released;   // set when the last reference goes
};

static DWORD WaitForGate(void* job, BoundedWorker**)
{
    WaitForSingleObject(((CountedJob*)job)->gate, INFINITE);
    return 7;
}

static void ReleaseCounted(void* job)
{
    CountedJob* counted = (CountedJob*)job;
    if (InterlockedDecrement(&counted->references) == 0)
        InterlockedExchange(counted->released, 1);
}

TEST(BoundedWorker, KeptWhileInTimeAbandonedAfterTimeout)
{
    volatile LONG released[3] = {};
    HANDLE open = CreateEventA(NULL, TRUE, TRUE, NULL);
    HANDLE shut = CreateEventA(NULL, TRUE, FALSE, NULL);
    CountedJob jobs[3] = {{2, open, &released[0]}, {2, open, &released[1]},
                          {2, shut, &released[2]}};
    BoundedWorker* worker = nullptr;
    DWORD result = 0;
    ASSERT_EQ(WorkerInTime, RunOnWorker(&worker, WaitForGate, &jobs[0], ReleaseCounted,
                                        1000, &result));
    BoundedWorker* first = worker;
    EXPECT_EQ(7u, result);
    EXPECT_EQ(WorkerInTime, RunOnWorker(&worker, WaitForGate, &jobs[1], ReleaseCounted,
                                        1000, &result));
    EXPECT_EQ(first, worker);
    EXPECT_EQ(WorkerTimedOut, RunOnWorker(&worker, WaitForGate, &jobs[2], ReleaseCounted,
                                          100, &result));
    EXPECT_EQ(nullptr, worker);
    for (CountedJob& job : jobs)
        ReleaseCounted(&job);
    EXPECT_EQ(1, released[0]);
    EXPECT_EQ(1, released[1]);
    EXPECT_EQ(0, released[2]);   // the abandoned worker still holds it
    SetEvent(shut);
    for (int i = 0; i < 100 && !released[2]; i++)
        Sleep(10);
    EXPECT_EQ(1, released[2]);
    CloseHandle(open);
    CloseHandle(shut);
}
