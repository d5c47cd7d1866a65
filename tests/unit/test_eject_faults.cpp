// The eject when the driver is missing or its request fails: a clear line, the
// documented outcome, no second (let alone forced) request. The volume is a
// drive-letter link to a crypt-volume device name; the "driver" is either
// absent or a named pipe, which refuses every device I/O control request
// (the simulated drivers of the system tests always answer).
#include <gtest/gtest.h>
#include <winternl.h>
#include <string>
#include "app/eject.h"
#include "cryptdrv/dismount.h"
#include "redirected_output.h"

namespace {

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
        typedef NTSTATUS(NTAPI * CreateLinkProc)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*,
                                                 UNICODE_STRING*);
        EXPECT_EQ(0, ((CreateLinkProc)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                     "NtCreateSymbolicLinkObject"))(
                         &link, 0xF0001, &attributes, &target));
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
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", kVolumeTarget));
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
    DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, "Q:",
                     kVolumeTarget);
}
