// The eject's edges: names of driver results and NT statuses, the bytes of the
// volume-removal notice, which nothing else can see, and the eject when the
// driver is missing or its request fails: a clear line, the documented
// outcome, no second (let alone forced) request. The volume there is a
// drive-letter link to a crypt-volume device name; the "driver" is either
// absent or a named pipe, which refuses every device I/O control request
// (the simulated drivers of the system tests always answer).
#include <gtest/gtest.h>
#include <winternl.h>
#include <limits.h>
#include <string.h>
#include <string>
#include "app/eject.h"
#include "base/imports.h"
#include "cryptdrv/dismount.h"
#include "cryptdrv/driver_call.h"
#include "dosdevices/session_links.h"
#include "unit_support.h"

TEST(ResultNames, KnownNamesAndOthersAsNumbers)
{
    // (FILES_OPEN, FILES_OPEN_LOCK, DRIVE_NOT_FOUND and SUCCESS of a status
    // show in the golden transcripts.)
    const struct { int code; const char* text; } results[] = {
        {0, "SUCCESS"}, {33, "USER_ABORT"}, {34, "34"}, {-1, "-1"}, {INT_MIN, "-2147483648"}};
    for (const auto& r : results)
        EXPECT_STREQ(r.text, DriverResultName(r.code)) << r.code;
    const struct { DWORD status; const char* text; } statuses[] = {
        {0xC0000034, "OBJECT_NAME_NOT_FOUND"}, {0xC0000022, "0xc0000022"},
        {0xFFFFFFFF, "0xffffffff"}};
    for (const auto& s : statuses)
        EXPECT_STREQ(s.text, NtStatusName((LONG)s.status)) << std::hex << s.status;
}

// The removal notice and the dismount request name the drive: A and Z, the
// ends of the range, and a character past it.
TEST(VolumeBroadcast, BytesOfTheRemovalNoticeAndTheRequestsDrive)
{
    const struct { char letter; BYTE mask[4]; int driveNumber; } cases[] = {
        {'A', {1, 0, 0, 0}, 0}, {'Z', {0, 0, 0, 2}, 25}, {'[', {0, 0, 0, 0}, -1},
    };
    for (const auto& c : cases) {
        DismountBlock request;
        FillDismountBlock(c.letter, &request);
        EXPECT_EQ(c.driveNumber, request.driveNumber) << c.letter;
        DEV_BROADCAST_VOLUME block;
        memset(&block, 0xCC, sizeof block);
        FillVolumeBroadcast(c.letter, &block);
        const BYTE expected[20] = {20, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0,
                                   c.mask[0], c.mask[1], c.mask[2], c.mask[3], 0, 0, 0, 0};
        EXPECT_EQ(0, memcmp(expected, &block, 20)) << c.letter;
    }
}

namespace {

extern "C" NTSTATUS NTAPI NtCreateSymbolicLinkObject(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*,
                                                     UNICODE_STRING*);
const char kVolumeTarget[] = "\\Device\\VeraCryptVolumeQ";
const char kPipeName[] = "\\\\.\\pipe\\qb-eject-fault-driver";

// \\.\VeraCrypt is a pipe with a few listening instances. The link is made
// with the native call: Wine's DefineDosDeviceA takes only short names.
struct PipeDriver {
    HANDLE instances[4];
    HANDLE link = nullptr;
    PipeDriver()
    {
        for (HANDLE& h : instances)
            h = CreateNamedPipeA(kPipeName, PIPE_ACCESS_DUPLEX, 0, 4, 64, 64, 0, nullptr);
        UNICODE_STRING name, target;
        RtlInitUnicodeString(&name, L"\\??\\VeraCrypt");
        RtlInitUnicodeString(&target, L"\\Device\\NamedPipe\\qb-eject-fault-driver");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
        EXPECT_EQ(0, NtCreateSymbolicLinkObject(&link, 0xF0001, &attributes, &target));
    }
    ~PipeDriver()
    {
        CloseHandle(link);   // a link that is not permanent goes with its handle
        for (HANDLE h : instances)
            CloseHandle(h);
    }
};

}  // namespace

TEST(EjectFaults, DriverMissingOrRequestFailing)
{
    // Q: names a VeraCrypt volume device for the length of the test.
    DosLink q("Q:", kVolumeTarget);
    const struct { const char* what; bool pipe; DWORD force, loop; const char* output; } cases[] = {
        // Nothing reached a driver: nothing to say here, the caller says "failed".
        {"no driver", false, 0, 0, ""},
        {"no driver, -f -l", false, 1, 1, ""},
        // The first request fails: one line, no further request of any kind.
        {"request fails", true, 0, 0, "\r\nVeraCrypt: error"},
        {"request fails, -f -l", true, 1, 1, "\r\nVeraCrypt: error"},
    };
    for (const auto& c : cases) {
        PipeDriver* driver = c.pipe ? new PipeDriver : nullptr;
        std::string text;
        int outcome, reached, triggered = 0;
        DismountAnswer answer = {77, 0, 0, 0, 0};
        {
            RedirectedOutput output;
            Options options;
            ClearOptions(&options);
            options.optForce = c.force;
            options.optLoop = c.loop;
            outcome = EjectVolume('Q', &options, &triggered);
            reached = DismountVolumeVia('Q', 'Q', CryptNone, (int)c.force, &answer);
            text = output.Contents();
        }
        delete driver;
        EXPECT_EQ(EjectNotDismounted, outcome) << c.what;
        EXPECT_EQ(0, reached) << c.what;
        EXPECT_EQ(77, answer.resultCode) << c.what << ": untouched when no answer came";
        EXPECT_EQ(0, answer.forcedResult) << c.what;
        // The eject's own text, then the same again from the single request.
        EXPECT_EQ(std::string(c.output) + c.output, text) << c.what;
    }
}

namespace {

// A driver of the test's own behind the request seam: the mount list shows
// Q: until a dismount answers 0; dismount requests get the planned answers,
// their replies shortReply bytes short.
struct FakeDriver {
    const int* answers;
    int next, mounted, triggered;
    DWORD shortReply;
} fakeDriver;

int FakeCall(const DriverRequest* request, DWORD* returned)
{
    memset(request->buffer, 0, request->outLength);
    if (request->code == kDismountRequestCode) {
        DismountBlock* block = (DismountBlock*)request->buffer;
        block->returnCode = fakeDriver.answers[fakeDriver.next++];
        block->hiddenVolumeProtectionTriggered = block->returnCode == 0 && fakeDriver.triggered;
        fakeDriver.mounted = block->returnCode != 0;
    } else {
        *(DWORD*)request->buffer = fakeDriver.mounted ? 1u << ('Q' - 'A') : 0;
    }
    *returned = request->outLength -
                (request->code == kDismountRequestCode ? fakeDriver.shortReply : 0);
    return DriverCallAnswered;
}

std::string shellNotices;
void WINAPI RecordNotice(LONG event, UINT flags, LPCVOID item, LPCVOID)
{
    char line[64];
    wsprintfA(line, "%X %u %s;", (unsigned)event, flags, (const char*)item);
    shellNotices += line;
}

}  // namespace

// The shell hears that the drive goes (SHCNE_DRIVEREMOVED, 0x80) before every
// request and after the dismount; when the eject ends with the volume still
// mounted, that it is back (SHCNE_DRIVEADD, 0x100), not when DRIVE_NOT_FOUND
// came for a volume whose device is gone. A dismount that says the hidden
// volume's protection refused writes is passed on; a reply too short to hold
// the answer is no dismount.
TEST(EjectNotices, ShellHearsOfRemovalAndReturn)
{
    DosLink q("Q:", kVolumeTarget);
    const int success[] = {0}, forced[] = {6, 6, 6, 0}, refused[] = {6, 6, 6}, other[] = {13},
              notFound[] = {5};
    const struct { const char* what; const int* answers; DWORD force, triggered, shortReply;
                   int outcome; const char* notices; } cases[] = {
        {"success", success, 0, 1, 0, EjectDismounted, "80 1 Q:\\;80 1 Q:\\;"},
        {"forced", forced, 1, 0, 0, EjectDismountedByForce, "80 1 Q:\\;80 1 Q:\\;80 1 Q:\\;80 1 Q:\\;"},
        {"refused", refused, 0, 0, 0, EjectFilesOpen, "80 1 Q:\\;80 1 Q:\\;80 1 Q:\\;100 1 Q:\\;"},
        {"other refusal", other, 1, 0, 0, EjectNotDismounted, "80 1 Q:\\;100 1 Q:\\;"},
        {"gone", notFound, 0, 0, 0, EjectVolumeGone, "80 1 Q:\\;"},
        {"short reply", success, 0, 0, 4, EjectNotDismounted, "80 1 Q:\\;100 1 Q:\\;"},
    };
    SetImport(ImportSHChangeNotify, (void*)RecordNotice);
    driverCallOverride = FakeCall;
    for (const auto& c : cases) {
        DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", kVolumeTarget);   // the dismount removes it
        fakeDriver = {c.answers, 0, 1, (int)c.triggered, c.shortReply};
        shellNotices.clear();
        Options options;
        ClearOptions(&options);
        options.optForce = c.force;
        int triggered = 0, outcome;
        {
            RedirectedOutput output;
            outcome = EjectVolume('Q', &options, &triggered);
        }
        EXPECT_EQ(c.outcome, outcome) << c.what;
        EXPECT_EQ(c.notices, shellNotices) << c.what;
        EXPECT_EQ((int)c.triggered, triggered) << c.what;
    }
    driverCallOverride = nullptr;
    SetImport(ImportSHChangeNotify, nullptr);
}
