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
#include "cryptdrv/dismount.h"
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
        int outcome, reached, resultCode = 77, forced = 0;
        {
            RedirectedOutput output;
            Options options;
            ClearOptions(&options);
            options.optForce = c.force;
            options.optLoop = c.loop;
            outcome = EjectVolume('Q', &options);
            reached = DismountVolumeVia('Q', 'Q', (int)c.force, &forced, &resultCode);
            text = output.Contents();
        }
        delete driver;
        EXPECT_EQ(EjectNotDismounted, outcome) << c.what;
        EXPECT_EQ(0, reached) << c.what;
        EXPECT_EQ(77, resultCode) << c.what << ": untouched when no answer came";
        EXPECT_EQ(0, forced) << c.what;
        // The eject's own text, then the same again from the single request.
        EXPECT_EQ(std::string(c.output) + c.output, text) << c.what;
    }
}
