// Acceptance checks of the simulated world for what the product's own tests
// (tests/system/golden.*) never ask of it: mount-list buffers of every size
// and the entries the product does not read, dismount requests the product
// never sends, answers held and released with a code, a link left behind,
// simctl's refusals, and a reset that cancels a held request. Runs in a world
// that `tools/world up --fresh` prepared (demo volumes U:, V:, T:);
// SIM_VERACRYPT names the running VeraCrypt driver's version. simctl.exe is
// taken from this program's folder.
#include <windows.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include "sim_protocol.h"

namespace {

// Starts simctl of this program's folder with the arguments, standard output
// and error into a pipe (*output). Returns the process, or null (the pipe then
// reads as empty).
HANDLE StartSimctl(const std::string &args, HANDLE *output)
{
    char path[MAX_PATH];
    std::string command(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    command = "\"" + command.substr(0, command.find_last_of('\\') + 1) + "simctl.exe\" " + args;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE writeEnd;
    CreatePipe(output, &writeEnd, &inherit, 0);
    SetHandleInformation(*output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {sizeof(startup)};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(writeEnd);
    if (!started) return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Everything a pipe brings until it closes; the pipe is closed.
std::string ReadAll(HANDLE pipe)
{
    std::string text;
    char buffer[4096];
    DWORD got;
    while (ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(pipe);
    return text;
}

// Runs simctl with the arguments; returns its exit code, output in *out.
int Simctl(const std::string &args, std::string *out = nullptr)
{
    HANDLE readEnd, process = StartSimctl(args, &readEnd);
    std::string text = ReadAll(readEnd);
    DWORD code = (DWORD)-1;
    WaitForSingleObject(process, 30000);
    GetExitCodeProcess(process, &code);  // not started: stays -1
    CloseHandle(process);
    if (out) *out = text;
    return (int)code;
}

// Polls simctl status until it shows the text; false after 10 s.
bool StatusShows(const char *text)
{
    std::string status;
    for (int i = 0; i < 100; i++, Sleep(100))
        if (Simctl("status", &status) == 0 && status.find(text) != std::string::npos) return true;
    return false;
}

// A handle on a volume device (\\.\X:), as a program that holds the volume has one.
HANDLE OpenVolume(const char *device)
{
    return CreateFileA(device, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::string Target(const char *dosName)
{
    char target[MAX_PATH] = {};
    if (!QueryDosDeviceA(dosName, target, MAX_PATH)) return "";
    return target;
}

const char trueCrypt[] = "\\\\.\\TrueCrypt";
const char veraCrypt[] = "\\\\.\\VeraCrypt";

// Sends a request to a driver's control device; returns the Win32 error
// (0 on success) and the byte count.
DWORD Request(const char *driver, DWORD code, void *buffer, DWORD inSize, DWORD outSize, DWORD *returned)
{
    HANDLE device = CreateFileA(driver, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return GetLastError();
    *returned = 0;
    BOOL ok = DeviceIoControl(device, code, buffer, inSize, buffer, outSize, returned, nullptr);
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(device);
    return error;
}

// One 16-byte dismount request to VeraCrypt; returns the result code, or
// -1000 - error when the request itself failed.
int Dismount(int driveNumber, unsigned ignoreOpenFiles, DWORD length = 16, unsigned *triggered = nullptr)
{
    unsigned char buffer[32] = {};
    SimDismountBlock *block = (SimDismountBlock *)buffer;
    block->driveNumber = driveNumber;
    block->ignoreOpenFiles = ignoreOpenFiles;
    DWORD returned;
    DWORD error = Request(veraCrypt, SIM_IOCTL_DISMOUNT, buffer, length, length < 16 ? 16 : length, &returned);
    if (error) return -1000 - (int)error;
    if (triggered) *triggered = block->hiddenVolumeProtectionTriggered;
    return block->returnCode;
}

int Drive(char letter) { return letter - 'A'; }

// The text of up to units UTF-16 units at offset, to its terminator.
std::wstring WideAt(const std::vector<unsigned char> &list, size_t offset, size_t units)
{
    std::wstring text(units, L'\0');
    memcpy(&text[0], list.data() + offset, units * 2);
    return text.substr(0, text.find(L'\0'));
}

// The running VeraCrypt driver's layout.
DWORD VeraCryptListSize()
{
    const char *version = getenv("SIM_VERACRYPT");
    return version && !strcmp(version, "1.17") ? SIM_LIST_SIZE_VERACRYPT_OLD : SIM_LIST_SIZE_VERACRYPT_NEW;
}

// A buffer one byte short of the layout is refused; a longer one gets the
// layout filled throughout (zeros where nothing is mounted) and nothing more,
// each entry at the layout's offsets (labelOffset 0: the layout has no labels).
TEST(MountList, RepliesFollowTheDriverLayout)
{
    for (DWORD size : {SIM_LIST_SIZE_TRUECRYPT, SIM_LIST_SIZE_VERACRYPT_OLD}) {
        std::vector<unsigned char> list(size - 1);
        DWORD returned = 1;
        EXPECT_EQ(Request(size == SIM_LIST_SIZE_TRUECRYPT ? trueCrypt : veraCrypt, SIM_IOCTL_MOUNT_LIST,
                          list.data(), size - 1, size - 1, &returned), (DWORD)ERROR_INSUFFICIENT_BUFFER) << size;
        EXPECT_EQ(returned, 0u);
    }
    DWORD vera = VeraCryptListSize(), veraLengths = vera == SIM_LIST_SIZE_VERACRYPT_OLD ? 15240 : 16904;
    struct Case { const char *driver; DWORD size; char letter; const wchar_t *path; size_t labelOffset;
                  const wchar_t *label; size_t lengthOffset; } cases[] = {
        {trueCrypt, SIM_LIST_SIZE_TRUECRYPT, 'T', L"\\??\\C:\\vols\\legacy.tc", 0, L"", 13524},
        {veraCrypt, vera, 'U', L"\\??\\C:\\vols\\private.hc", 13524, L"PRIVATE", veraLengths},
        {veraCrypt, vera, 'V', L"\\Device\\Harddisk1\\Partition2", 13524, L"", veraLengths},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(1, c.letter));
        std::vector<unsigned char> list(c.size + 600, 0xCC);
        DWORD returned = 0;
        ASSERT_EQ(Request(c.driver, SIM_IOCTL_MOUNT_LIST, list.data(), c.size + 600, c.size + 600, &returned), 0u);
        EXPECT_EQ(returned, c.size);
        size_t filled = 0, untouched = 0;
        for (size_t i = 0; i < list.size(); i++) (i < returned ? filled : untouched) += list[i] != 0xCC;
        EXPECT_EQ(filled, (size_t)returned);
        EXPECT_EQ(untouched, 0u);
        int n = Drive(c.letter);
        EXPECT_TRUE(*(unsigned *)list.data() & (1u << n));
        EXPECT_EQ(WideAt(list, 4 + n * 520, 260), c.path);
        if (c.labelOffset) EXPECT_EQ(WideAt(list, c.labelOffset + n * 66, 33), c.label);
        unsigned long long length;
        memcpy(&length, list.data() + c.lengthOffset + n * 8, 8);
        EXPECT_NE(length, 0ull);
    }
}

// K: and M: are held; a planned 0 dismounts M: all the same, and says that
// its hidden volume's protection was triggered. N: is another user's: not
// listed and not found unless callers count as elevated.
TEST(Dismount, AnswersFollowHandlesAndTheIgnoreFlag)
{
    ASSERT_EQ(Simctl("mount veracrypt K: \\??\\C:\\vols\\k.hc + mount veracrypt M: \\??\\C:\\vols\\m.hc "
                     "--hidvol-triggered + plan M: 0 + mount veracrypt N: \\??\\C:\\vols\\n.hc --foreign"), 0);
    HANDLE holders[] = {OpenVolume("\\\\.\\K:"), OpenVolume("\\\\.\\M:")};
    for (HANDLE holder : holders) ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    // answer: -1000 - error when the request fails.
    struct Step { int drive; unsigned ignore; DWORD length; int answer; } steps[] = {
        {Drive('K'), 0, 15, -1000 - ERROR_INSUFFICIENT_BUFFER},
        // VeraCrypt 1.18 and later take exactly 16 bytes, older drivers 16 or more.
        {Drive('K'), 0, 17, VeraCryptListSize() == SIM_LIST_SIZE_VERACRYPT_NEW ? -1000 - ERROR_INVALID_PARAMETER : 6},
        {26, 0, 16, 5},
        {-1, 1, 16, 5},
        {Drive('Q'), 0, 16, 5},
        {Drive('K'), 0, 16, 6},
        {Drive('K'), 1, 16, 0},
        {Drive('K'), 0, 16, 5},
        {Drive('M'), 0, 16, 0},
        {Drive('N'), 1, 16, 5},
    };
    for (const Step &s : steps) {
        unsigned triggered = 0;
        EXPECT_EQ(Dismount(s.drive, s.ignore, s.length, &triggered), s.answer)
            << "drive " << s.drive << " ignore " << s.ignore << " length " << s.length;
        EXPECT_EQ(triggered, s.drive == Drive('M') ? 1u : 0u) << s.drive;
    }
    std::vector<unsigned char> list(SIM_LIST_SIZE_VERACRYPT_NEW);
    DWORD returned = 0;
    ASSERT_EQ(Request(veraCrypt, SIM_IOCTL_MOUNT_LIST, list.data(), (DWORD)list.size(), (DWORD)list.size(), &returned), 0u);
    EXPECT_FALSE(*(unsigned *)list.data() & (1u << Drive('N')));
    ASSERT_EQ(Simctl("elevated yes"), 0);
    ASSERT_EQ(Request(veraCrypt, SIM_IOCTL_MOUNT_LIST, list.data(), (DWORD)list.size(), (DWORD)list.size(), &returned), 0u);
    EXPECT_TRUE(*(unsigned *)list.data() & (1u << Drive('N')));
    EXPECT_EQ(Dismount(Drive('N'), 0), 0);
    ASSERT_EQ(Simctl("elevated no"), 0);
    EXPECT_EQ(Target("K:"), "");
    EXPECT_EQ(Target("M:"), "");
    for (HANDLE holder : holders) CloseHandle(holder);
}

// What a dismount leaves, as the real driver: the link of the letter the
// volume was mounted with goes (also when another volume's link has taken
// it), a letter the link was moved to and the volume name stay; --keep-link
// leaves the letter's link too.
TEST(Links, WhatADismountLeaves)
{
    const char guid[] = "{5e1a7c00-0000-4000-8000-00000000000b}";
    ASSERT_EQ(Simctl(std::string("mount veracrypt L: \\??\\C:\\vols\\l.hc --guid ") + guid +
                     " + relink L: P: + mount veracrypt R: \\??\\C:\\vols\\r.hc + relink R: L: + "
                     "mount veracrypt S: \\??\\C:\\vols\\s.hc --keep-link"), 0);
    std::string volumeName = std::string("Volume") + guid;
    EXPECT_EQ(Dismount(Drive('L'), 0), 0);
    EXPECT_EQ(Dismount(Drive('S'), 0), 0);
    const struct { const char *name, *target; } links[] = {
        {"L:", ""}, {"P:", "\\Device\\VeraCryptVolumeL"}, {volumeName.c_str(), "\\Device\\VeraCryptVolumeL"},
        {"S:", "\\Device\\VeraCryptVolumeS"}};
    for (const auto &l : links) EXPECT_EQ(Target(l.name), l.target) << l.name;
}

TEST(Simctl, BadCommandsFail)
{
    const char *commands[] = {"", "bogus", "mount veracrypt 1: x", "mount fatcrypt K: x", "plan U: 6,x",
                              "plan Q: 6", "relink Q: R:", "mount veracrypt U: again", "vanish", "mount veracrypt K: x --guid nope",
                              "plan U: delay=0:6", "plan U: hangs", "release U: x", "dismount Q:"};
    for (const char *command : commands) EXPECT_NE(Simctl(command), 0) << command;
}

// Held requests answer when released: with their planned code, with a code
// given on release, or as usual (no handles open: the volume goes); a reset
// cancels one. Last: the reset drops the demo volumes too.
TEST(Held, AnswersWhenReleasedAndAResetCancels)
{
    ASSERT_EQ(Simctl("log --clear + mount veracrypt H: \\??\\C:\\vols\\h.hc + plan H: hang:13,hang,hang + "
                     "mount veracrypt J: \\??\\C:\\vols\\j.hc + plan J: hang"), 0);
    // The output of a dismount request held until the command ran.
    auto outputAfter = [](const char *dismount, const char *command) {
        HANDLE output, child = StartSimctl(dismount, &output);
        EXPECT_TRUE(StatusShows(" held=1")) << command;
        EXPECT_EQ(Simctl(command), 0);
        EXPECT_EQ(WaitForSingleObject(child, 10000), (DWORD)WAIT_OBJECT_0);
        CloseHandle(child);
        return ReadAll(output);
    };
    const struct { const char *release, *answer; } steps[] = {
        {"release H:", "answer=13"}, {"release H: 40", "answer=40"}, {"release H:", "answer=0"}};
    for (const auto &s : steps)
        EXPECT_NE(outputAfter("dismount H:", s.release).find(s.answer), std::string::npos) << s.release;
    EXPECT_EQ(Target("H:"), "");
    EXPECT_EQ(Simctl("release H:"), 1);  // nothing is held
    std::string log;
    ASSERT_EQ(Simctl("log", &log), 0);
    EXPECT_NE(log.find("H: force=0 answer=0 waited="), std::string::npos) << log;
    EXPECT_NE(outputAfter("dismount J:", "reset").find("error 995"), std::string::npos);
}

}  // namespace
