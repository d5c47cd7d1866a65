// Which File Explorer windows show the volume, through a fake of the shell's
// list: Wine's list of folder windows has no items to read (its count and
// items are not implemented), so only a fake can stand for Windows' list.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "winactivate/explorer_windows.h"

namespace {

struct FakeItem {
    const wchar_t* path;   // null: its folder cannot be read
    DWORD processId;
    bool refusesToQuit;
};

struct FakeList {
    std::vector<FakeItem> items;
    int lastRead = -1;
    std::vector<int> quit;   // indexes, in the order they were asked
};

int Count(void* context) { return (int)((FakeList*)context)->items.size(); }

int Read(void* context, int index, ShellFolderWindow* item)
{
    FakeList* list = (FakeList*)context;
    list->lastRead = index;
    const FakeItem& fake = list->items[index];
    if (!fake.path)
        return 0;
    lstrcpynW(item->path, fake.path, MAX_PATH);
    item->window = (HWND)(ULONG_PTR)(0x100 + index);
    item->processId = fake.processId;
    return 1;
}

int Quit(void* context)
{
    FakeList* list = (FakeList*)context;
    list->quit.push_back(list->lastRead);
    return !list->items[list->lastRead].refusesToQuit;
}

}  // namespace

// U: is mounted at the drive letter and in the folder C:\mnt\private. Whole
// components, any case, count; another drive, a path that merely contains
// "U:", a longer folder name, an unreadable item and one that refuses do not.
TEST(ExplorerWindows, OnlyThoseThatShowTheVolumeAreClosedOrFound)
{
    VolumeFolders folders = {};
    lstrcpyW(folders.paths[0], L"U:\\");
    lstrcpyW(folders.paths[1], L"C:\\mnt\\private\\");
    folders.count = 2;
    FakeList list;
    list.items = {
        {L"C:\\U:\\x", 7, false},          {L"U:\\", 7, false},
        {L"U:\\docs", 7, false},           {nullptr, 7, false},
        {L"u:\\Docs\\x", 9, false},        {L"V:\\", 9, false},
        {L"C:\\MNT\\Private\\a", 9, false}, {L"C:\\mnt\\private", 9, false},
        {L"C:\\mnt\\privateer", 9, false}, {L"U:\\held", 9, true},
    };
    ShellWindowSource source = {&list, Count, Read, Quit};

    HWND closed[kClosedWindowLimit] = {};
    EXPECT_EQ(5, WalkVolumeWindows(&source, &folders, 0, 1, closed));
    // Asked from the last item to the first; the refusal is not counted.
    EXPECT_EQ((std::vector<int>{9, 7, 6, 4, 2, 1}), list.quit);
    const ULONG_PTR expected[] = {0x107, 0x106, 0x104, 0x102, 0x101};
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(expected[i], (ULONG_PTR)closed[i]) << i;

    char line[kClosedLineLength];
    EXPECT_GT(FormatClosedLine(line, 5, "U:"), 0);
    EXPECT_STREQ("closed 5 File Explorer window(s) on U:", line);
    EXPECT_EQ(0, FormatClosedLine(line, 0, "U:"));
    EXPECT_STREQ("", line);

    // Finding closes nothing: the first window on the volume of the process
    // asked for (any with 0), none for a process without one.
    list.quit.clear();
    const struct { DWORD processId; int found; ULONG_PTR window; } finds[] = {
        {0, 1, 0x101}, {7, 1, 0x101}, {9, 1, 0x104}, {8, 0, 0x55}};
    for (const auto& f : finds) {
        HWND window = (HWND)(ULONG_PTR)0x55;
        EXPECT_EQ(f.found, WalkVolumeWindows(&source, &folders, f.processId, 0, &window));
        EXPECT_EQ(f.window, (ULONG_PTR)window) << f.processId;
    }
    EXPECT_TRUE(list.quit.empty());
}
