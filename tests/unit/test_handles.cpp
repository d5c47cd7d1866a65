// The open-handle finder: text rules of the report lines, the snapshot's size
// and type rules, and one real snapshot of this process's own handles.
#include <gtest/gtest.h>
#include <string>
#include <shlwapi.h>
#include "handles/handle_list.h"
#include "handles/handle_report.h"
#include "handles/handle_scan.h"
#include "handles/process_info.h"
#include "base/memory.h"
#include "base/system.h"

// Lengths at the edges; the shortened text itself shows on a narrow console
// (tests/robust/world/test_limits.sh).
TEST(ShortenMiddle, KeepsHeadAndTailAroundDots)
{
    struct Case { int length, maximum, expected; };
    const Case cases[] = {
        {197, 196, 196}, {196, 196, 196}, {300, 3, 300}, {300, 4, 4}, {1500, 5000, 1024},
    };
    for (const Case& c : cases) {
        std::string original(c.length, 'q');
        char text[1600];
        lstrcpynA(text, original.c_str(), sizeof text);
        SCOPED_TRACE(testing::Message() << c.length << " to " << c.maximum);
        EXPECT_EQ(c.expected, ShortenMiddle(text, c.maximum));
        EXPECT_EQ(c.expected, lstrlenA(text));
        EXPECT_EQ(c.expected == c.length, original == text);
    }
}

// Every cut of a name in a double-byte code page and in UTF-8 keeps whole
// characters: the result converts back strictly, its head begins the name and
// its tail ends it (in 932 a trail byte 0x5C alone would read as '\\').
TEST(ShortenMiddle, CutsAtCharacterBoundaries)
{
    const struct { UINT codePage; const wchar_t* name; } cases[] = {
        {932, L"U:\\\x8868\x793A\\\x65E5\x672C\x8A9E\xFF76\xFF85\\Ab\x8868.txt"},
        {CP_UTF8, L"U:\\Caf\xE9\\\x65E5\x672C\x8A9E\\\xD83D\xDE00\x0142.txt"},
    };
    for (const auto& c : cases) {
        char original[256];
        ASSERT_GT(WideCharToMultiByte(c.codePage, 0, c.name, -1, original, sizeof original,
                                      NULL, NULL), 0);
        std::wstring whole(c.name);
        for (int target = 4; target < lstrlenA(original); target++) {
            SCOPED_TRACE(testing::Message() << c.codePage << " to " << target);
            char text[256];
            lstrcpynA(text, original, sizeof text);
            int length = ShortenMiddleIn(text, target, c.codePage);
            EXPECT_LE(length, target);
            wchar_t wide[256];
            ASSERT_GT(MultiByteToWideChar(c.codePage, MB_ERR_INVALID_CHARS, text, -1, wide,
                                          256), 0);
            std::wstring shown(wide);
            size_t dots = shown.find(L"...");
            ASSERT_NE(dots, std::wstring::npos);
            std::wstring tail = shown.substr(dots + 3);
            EXPECT_EQ(whole.substr(0, dots), shown.substr(0, dots));
            EXPECT_EQ(whole.substr(whole.size() - tail.size()), tail);
        }
    }
}

TEST(MakeDisplayLine, FormsByOutputAndOption)
{
    const char* device = "\\Device\\VeraCryptVolumeU";
    const std::string file = std::string(device) + "\\docs\\a.txt";
    // The console form; the redirected, debug and device forms show in the
    // golden transcripts.
    const struct { const char* exe; std::string name; ULONGLONG pid; std::string expected; }
        cases[] = {
        {"notepad.exe", file, 1234, "notepad.exe : U:\\docs\\a.txt"},
        {"svchost.exe", file, 884, "svchost.exe [884] : U:\\docs\\a.txt"},
        {"U:\\tools\\app.exe", "", 1234, "U:\\tools\\app.exe"},
    };
    for (const auto& c : cases) {
        OpenHandleEntry entry = {};
        lstrcpynA(entry.exeName, c.exe, sizeof entry.exeName);
        lstrcpynA(entry.objectPath, c.name.c_str(), sizeof entry.objectPath);
        entry.processId = c.pid;
        MakeDisplayLine(&entry, device, "U:\\", 80, 0, 0);
        EXPECT_EQ(c.expected, entry.displayLine);
    }
    // A service host started from the volume: its image path was shortened to
    // 120 - 4 when it was found, and its line is no longer (tests/robust has
    // the lines of handle holders on a narrow console).
    OpenHandleEntry entry = {};
    entry.processId = 1784;
    std::string image = "U:\\" + std::string(200, 'q') + "\\svchost.exe";
    lstrcpynA(entry.exeName, image.c_str(), sizeof entry.exeName);
    ShortenMiddle(entry.exeName, 116);
    entry.objectPath[0] = 0;
    MakeDisplayLine(&entry, device, "U:\\", 120, 0, 0);
    EXPECT_EQ(116, lstrlenA(entry.displayLine));
    EXPECT_TRUE(StrStrA(entry.displayLine, "\\svchost.exe [1784]") != nullptr) << entry.displayLine;
    // Long names in the unshortened redirected form are clipped, not overrun.
    std::string longExe(259, 'q');
    lstrcpynA(entry.exeName, longExe.c_str(), sizeof entry.exeName);
    lstrcpynA(entry.objectPath, (std::string(device) + "\\" + std::string(480, 'q')).c_str(),
              sizeof entry.objectPath);
    MakeDisplayLine(&entry, device, "U:\\", 80, 1, 0);
    EXPECT_EQ((int)sizeof entry.displayLine - 1, lstrlenA(entry.displayLine));
}

TEST(HandleRules, FileTypeIndexByVersionBeforeAndAfterLearning)
{
    struct Case { WORD type, learned; DWORD version; int expected; };
    const Case cases[] = {
        {25, 0, 0x0600, 1}, {28, 0, 0x0600, 0}, {28, 0, 0x0501, 1}, {3, 0, 0x0501, 0},
        {3, 0, 0x0601, 1}, {2, 0, 0x0601, 0}, {30, 0, 0x1000, 1}, {29, 0, 0x1000, 0},
        {3, 0, 0x0602, 1}, {37, 37, 0x1000, 1}, {31, 37, 0x1000, 0},
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
        {0x00100000, 1, 0}, {0x00120089, 0, 1}, {0x001F01FE, 0, 0}, {0, 0, 0},
    };
    for (const Mask& m : masks) {
        EXPECT_EQ(m.skipped, IsSkippedAccessMask(m.mask)) << std::hex << m.mask;
        EXPECT_EQ(m.guarded, IsGuardedAccessMask(m.mask)) << std::hex << m.mask;
    }
}

// A real snapshot: the file type is learned from a probe that is closed
// again (on no volume), and a report that gave up asks for no name at all.
// The names themselves come out in the golden transcripts.
TEST(SystemHandleList, LearnsTheFileTypeAndStopsAsked)
{
    osVersion.major = 10;
    osVersion.packedVersion = 0x1000;
    char directory[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    GetTempFileNameA(directory, "qbh", 0, path);
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, NULL);
    ULONGLONG self = GetCurrentProcessId();
    SystemHandleList first = {}, second = {};
    LoadSystemHandleList(&first);
    EXPECT_NE(0, fileTypeIndex);
    EXPECT_EQ(INVALID_HANDLE_VALUE, first.probeHandle);
    EXPECT_TRUE(IsHandleInList(&first, (ULONGLONG)(ULONG_PTR)file, self, 0));
    EXPECT_FALSE(IsHandleInList(&first, (ULONGLONG)(ULONG_PTR)file, self + 4, 0));
    LoadSystemHandleList(&second);   // no probe once the type is known
    EXPECT_EQ(INVALID_HANDLE_VALUE, second.probeHandle);
    FreeSystemHandleList(&second);
    FreeSystemHandleList(&first);
    volatile LONG stop = 1;
    HandleScan* scan = NewHandleScan(1, 1);
    AddScanCandidate(scan, self, (ULONGLONG)(ULONG_PTR)file, 0x00120089);
    RunHandleScan(scan, &stop);
    EXPECT_FALSE(ScanProcessNamed(scan, 0));
    EXPECT_EQ(nullptr, ScanCandidateName(scan, 0));
    ReleaseHandleScan(scan);
    CloseHandle(file);
}

// The scan through its seam: fake calls that stall on chosen handles.
// Processes below 1010 refuse to be opened; a handle's kind says what its
// calls do: named, a pipe, or a name query that stalls until released.
enum FakeKind { Named, Pipe, Stall };
struct FakeHandle { ULONGLONG processId, handle; DWORD mask; FakeKind kind; };
static const DWORD kGuarded = 0x0012019F, kDirect = 0x00120116;
static const FakeHandle fakeHandles[] = {
    {1011, 0x10, kGuarded, Named}, {1011, 0x14, kGuarded, Stall}, {1011, 0x18, kGuarded, Named},
    {1012, 0x20, kDirect, Named}, {1012, 0x24, kDirect, Stall}, {1012, 0x28, kDirect, Named},
    {1003, 0x30, kDirect, Named},
    {1014, 0x40, kGuarded, Pipe}, {1014, 0x44, kGuarded, Named}, {1014, 0x48, kGuarded, Stall},
    {1014, 0x4C, kGuarded, Stall}, {1015, 0x50, kDirect, Named},
};
static HANDLE stallRelease;
static volatile LONG fakeCalls[0x60], fakeOpen;   // name calls per handle; handles open

static const FakeHandle* FindFake(HANDLE handle)
{
    for (const FakeHandle& fake : fakeHandles)
        if (fake.handle == (ULONG_PTR)handle)
            return &fake;
    return nullptr;
}
// Windows from Vista on opens protected processes only for the limited query
// right (Wine grants any right): the rights asked, last call.
static volatile DWORD askedProcessRights;
static HANDLE WINAPI FakeOpenProcess(DWORD rights, BOOL, DWORD id)
{
    askedProcessRights = rights;
    if (id < 1010) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    InterlockedIncrement(&fakeOpen);
    return (HANDLE)(ULONG_PTR)(0x10000 + id);
}
static BOOL WINAPI FakeDuplicate(HANDLE, HANDLE handle, HANDLE, HANDLE* copy, DWORD, BOOL, DWORD)
{
    InterlockedIncrement(&fakeOpen);
    *copy = handle;
    return TRUE;
}
static DWORD WINAPI FakeFileType(HANDLE handle)
{
    return FindFake(handle)->kind == Pipe ? FILE_TYPE_PIPE : FILE_TYPE_DISK;
}
static NTSTATUS FakeName(HANDLE handle, WCHAR* name, int nameCount)
{
    InterlockedIncrement(&fakeCalls[(ULONG_PTR)handle]);
    if (FindFake(handle)->kind == Stall)
        WaitForSingleObject(stallRelease, INFINITE);
    wsprintfW(name, L"\\Device\\VeraCryptVolumeU\\%x.txt", (unsigned)(ULONG_PTR)handle);
    return STATUS_SUCCESS;
}
static BOOL WINAPI FakeClose(HANDLE)
{
    InterlockedDecrement(&fakeOpen);
    return TRUE;
}

static int HeapBlocks(HANDLE heap)
{
    int blocks = 0;
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heap);
    while (HeapWalk(heap, &entry))
        blocks += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0;
    HeapUnlock(heap);
    return blocks;
}

// A stall costs one limit once: the scan goes on at the next handle (a
// guarded name) or the next process (a direct one, whose process then yields
// nothing), each stalled handle is asked once, a process named before its
// stall is still reported, the whole stays inside the report's limit, and
// every abandoned worker closes its handles and frees its records once.
TEST(HandleScan, StallsCostOneLimitEachAndAbandonedWorkFreesItself)
{
    for (int workers : {1, 3}) {
        SCOPED_TRACE(workers);
        osVersion.major = workers == 1 ? 6 : 10;   // Vista, the first with the limited right
        HANDLE heap = HeapCreate(0, 0, 0), systemHeap = processHeap;
        processHeap = heap;
        int blocksBefore = HeapBlocks(heap);
        stallRelease = CreateEventA(NULL, TRUE, FALSE, NULL);
        for (volatile LONG& calls : fakeCalls)
            calls = 0;
        handleCalls = {FakeOpenProcess, FakeDuplicate, FakeFileType, FakeName, FakeClose};
        handleScanWorkers = workers;
        HandleScan* scan = NewHandleScan(5, ARRAYSIZE(fakeHandles));
        for (const FakeHandle& fake : fakeHandles)
            AddScanCandidate(scan, fake.processId, fake.handle, fake.mask);
        DWORD start = GetTickCount();
        RunHandleScan(scan, nullptr);
        DWORD took = GetTickCount() - start;
        printf("scan with %d workers and four stalls: %lu ms\n", workers, took);
        EXPECT_LT(took, (DWORD)kHandleReportLimitMs);
        EXPECT_EQ(1, scan->deniedCount);
        EXPECT_EQ(4, scan->abandonedCount);
        EXPECT_EQ((DWORD)(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_DUP_HANDLE),
                  askedProcessRights);
        const int named[] = {1, 0, 0, 1, 1};
        for (int p = 0; p < 5; p++)
            EXPECT_EQ(named[p], ScanProcessNamed(scan, p)) << p;
        for (int c = 0; c < ARRAYSIZE(fakeHandles); c++) {
            // Names of a process given up are never read.
            const FakeHandle& fake = fakeHandles[c];
            if (named[scan->candidates[c].process])
                EXPECT_EQ(fake.kind == Named, ScanCandidateName(scan, c) != nullptr)
                    << std::hex << fake.handle;
            if (fake.kind == Stall)
                EXPECT_EQ(1, fakeCalls[fake.handle]) << std::hex << fake.handle;
        }
        ReleaseHandleScan(scan);
        SetEvent(stallRelease);
        for (int i = 0; i < 300 && (fakeOpen != 0 || HeapBlocks(heap) != blocksBefore); i++)
            Sleep(10);
        EXPECT_EQ(0, fakeOpen);
        EXPECT_EQ(blocksBefore, HeapBlocks(heap));
        handleCalls = {};
        handleScanWorkers = 0;
        processHeap = systemHeap;
        CloseHandle(stallRelease);
        HeapDestroy(heap);
    }
}

// Names in the ANSI code page: a double-byte one or UTF-8 needs more bytes
// than units; a name too long for the buffer is cut at a character.
TEST(NameToAnsi, MultiByteCodePagesFitWholeOrCutAtACharacter)
{
    const std::wstring kanji = L"\x6587\x66F8";   // two bytes each in 932, three in UTF-8
    const std::wstring smile = L"\xD83D\xDE00";   // one character of four UTF-8 bytes
    struct Case { UINT codePage; std::wstring name; int outLength, length, units; };
    const Case cases[] = {
        {932, L"\\??\\U:\\" + kanji + L"\\a.txt", 1024, 17, 15},
        {65001, L"\\??\\U:\\" + kanji + L"\\a.txt", 1024, 19, 15},
        {932, std::wstring(600, kanji[0]), 1024, 1022, 511},
        {65001, std::wstring(400, kanji[1]), 1024, 1023, 341},
        {65001, L"ab" + smile, 6, 2, 2},
        {1252, L"abc", 3, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.codePage << " length " << c.name.size());
        char out[1024];
        int length = NameToAnsi(c.name.c_str(), (int)c.name.size(), out, c.outLength, c.codePage);
        EXPECT_EQ(c.length, length);
        EXPECT_EQ(c.length, lstrlenA(out));
        WCHAR back[1100] = {};
        MultiByteToWideChar(c.codePage, 0, out, -1, back, 1100);
        EXPECT_TRUE(c.name.substr(0, c.units) == back);
    }
}

// Holders named in the forms Windows gives (its device names), which Wine
// does not produce: matched against the volume with a separator after the
// device, shown as drive paths, found by the "no read" dedupe; images of
// processes in the device form of GetProcessImageFileNameA (which is also
// the form GetMappedFileNameA gives a loaded module).
TEST(VolumeHolders, WindowsFormsAreMatchedShownAndDeduplicated)
{
    const char* vera = "\\Device\\VeraCryptVolumeU";
    const char* disk = "\\Device\\HarddiskVolume1";
    struct Case { const char* device; const char* name; const char* shown; };
    const Case handles[] = {
        {vera, "\\Device\\VeraCryptVolumeU\\docs\\a.txt", "U:\\docs\\a.txt"},
        {vera, "\\Device\\VeraCryptVolumeU", "\\\\.\\U:"},
        {vera, "\\??\\U:\\docs\\a.txt", "U:\\docs\\a.txt"},
        {vera, "\\Device\\VeraCryptVolumeV\\docs\\a.txt", nullptr},
        {vera, "\\Device\\VeraCryptVolumeUX\\a.txt", nullptr},
        {vera, "\\??\\V:\\U:\\a.txt", nullptr},
        {disk, "\\Device\\HarddiskVolume1\\a.txt", "U:\\a.txt"},
        {disk, "\\Device\\HarddiskVolume10\\a.txt", nullptr},
    };
    for (const Case& c : handles) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.shown != nullptr, IsPathOnVolume(c.name, c.device, "U:\\"));
        if (!c.shown)
            continue;
        OpenHandleEntry table[2] = {};
        SetHandleHolder(&table[0], "app.exe", c.name, 0x1A4, 1234, c.device, "U:\\");
        EXPECT_STREQ(c.shown, table[0].objectPath);
        EXPECT_TRUE(IsPathInOpenHandleTable(table, c.shown));
    }
    const Case images[] = {
        {vera, "\\DEVICE\\VeraCryptVolumeU\\tools\\app.exe", "U:\\tools\\app.exe"},
        {vera, "\\??\\U:\\tools\\app.exe", "U:\\tools\\app.exe"},
        {vera, "u:\\tools\\app.exe", "u:\\tools\\app.exe"},
        {vera, "C:\\tools\\app.exe", nullptr},
        {disk, "\\Device\\HarddiskVolume10\\app.exe", nullptr},
    };
    for (const Case& c : images) {
        char path[MAX_PATH];
        lstrcpynA(path, c.name, MAX_PATH);
        EXPECT_EQ(c.shown != nullptr, ToVolumeImagePath(path, c.device, "U:\\")) << c.name;
        if (c.shown)
            EXPECT_STREQ(c.shown, path);
    }
}

// The end of a report: without the debug privilege a count (an elevated run
// sees more), with it up to five processes by name and id; a report that
// found nothing says so in a way that leaves room for those it could not see.
TEST(HandleReport, EndNamesTheProcessesItCouldNotInspect)
{
    const char* none = " none found";
    const char* noInspected = " no inspected process holds the volume";
    struct Case { DWORD count; int privileged, found; const char *none, *hint; };
    const Case cases[] = {
        {0, 0, 0, none, ""},
        {0, 1, 0, none, ""},
        {0, 1, 1, "", ""},
        {1, 0, 1, "", "(1 process could not be inspected; an elevated run sees it)"},
        {7, 0, 0, noInspected, "(7 processes could not be inspected; an elevated run sees them)"},
        {1, 1, 0, noInspected, "(not inspected: System (4); they may hold the volume)"},
        {5, 1, 1, "", "(not inspected: System (4), MsMpEng.exe (3120), a.exe (12), "
                      "b.exe (16), c.exe (20); they may hold the volume)"},
        {7, 1, 0, noInspected, "(not inspected: System (4), MsMpEng.exe (3120), a.exe (12), "
                               "b.exe (16), c.exe (20) and 2 more; they may hold the volume)"},
    };
    BlindSpots spots = {0, {4, 3120, 12, 16, 20},
                        {"System", "MsMpEng.exe", "a.exe", "b.exe", "c.exe"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " privileged " << c.privileged);
        spots.count = c.count;
        char noneText[kNoneTextLength], hint[kInspectionHintLength];
        FormatReportEnd(&spots, c.privileged, c.found, noneText, hint);
        EXPECT_STREQ(c.none, noneText);
        EXPECT_STREQ(c.hint, hint);
    }
}

// A report that runs late may still be listing root files when the eject
// goes on: the eject aborts it and waits (bounded) until it holds nothing on
// the volume; once aborted, nothing new is opened there.
static DWORD WINAPI LeaveLater(LPVOID)
{
    Sleep(100);
    LeaveVolumeUse();
    return 0;
}

TEST(HandleReport, EjectDrainsTheReportsVolumeUses)
{
    reportAbort = 0;
    ASSERT_TRUE(EnterVolumeUse());
    EXPECT_FALSE(EndVolumeUse(50));
    EXPECT_FALSE(EnterVolumeUse());
    HANDLE thread = CreateThread(NULL, 0, LeaveLater, NULL, 0, NULL);
    EXPECT_TRUE(EndVolumeUse(5000));
    EXPECT_TRUE(EndVolumeUse(0));
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    reportAbort = 0;
}

// A holder that closes its handle on the volume and opens another file gets
// the same handle value back; where the snapshots carry the file object's
// address (Windows; Wine gives 0), the follow-up sees that it is another file.
TEST(SystemHandleList, AHandleValueComesBackForAnotherFile)
{
    WORD savedType = fileTypeIndex;
    fileTypeIndex = 37;
    SystemHandleEntry entries[2] = {};
    entries[0] = {0xFFFF800012340000ull, 8, 0x40, 0x12019F, 0, 37, 0, 0};
    entries[1] = {0, 9, 0x40, 0x12019F, 0, 37, 0, 0};
    SystemHandleList list = {};
    list.entries = entries;
    list.count = 2;
    const struct { ULONGLONG processId, objectAddress; int held; } cases[] = {
        {8, 0xFFFF800012340000ull, 1},   // the same file
        {8, 0xFFFF8000ABCD0000ull, 0},   // another file behind the same value
        {8, 0, 1},                       // the report's snapshot gave no address
        {9, 0xFFFF8000ABCD0000ull, 1},   // this snapshot gives none
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.held, IsHandleInList(&list, 0x40, c.processId, c.objectAddress))
            << c.processId << " " << std::hex << c.objectAddress;
    EXPECT_EQ(0xFFFF800012340000ull, FindObjectAddress(&list, 0x40, 8));
    fileTypeIndex = savedType;
}
