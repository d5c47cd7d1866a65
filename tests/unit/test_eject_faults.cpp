// The eject when the driver is missing or its request fails: a clear line, the
// documented outcome, no second (let alone forced) request. The volume is a
// drive-letter link to a crypt-volume device name; the "driver" is either
// absent or a named pipe, which refuses every device I/O control request.
#include <gtest/gtest.h>
#include <winternl.h>
#include <string>
#include "console/output.h"
#include "app/eject.h"
#include "cryptdrv/dismount.h"
#include "redirected_output.h"

namespace {

const char kVolumeTarget[] = "\\Device\\VeraCryptVolumeQ";
const wchar_t kPipeDeviceW[] = L"\\Device\\NamedPipe\\qb-eject-fault-driver";
const char kPipeName[] = "\\\\.\\pipe\\qb-eject-fault-driver";

// Q: names a VeraCrypt volume device for the length of a test.
struct FakeVolume {
    FakeVolume() { DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", kVolumeTarget); }
    ~FakeVolume()
    {
        DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION |
                             DDD_EXACT_MATCH_ON_REMOVE, "Q:", kVolumeTarget);
    }
};

UNICODE_STRING Unicode(const wchar_t* text)
{
    UNICODE_STRING s;
    s.Buffer = (PWSTR)text;
    s.Length = (USHORT)(wcslen(text) * 2);
    s.MaximumLength = (USHORT)(s.Length + 2);
    return s;
}

// \\.\VeraCrypt is a pipe with a few listening instances. The link is made
// with the native call: Wine's DefineDosDeviceA takes only short names.
struct PipeDriver {
    HANDLE instances[4];
    HANDLE link = nullptr;
    PipeDriver()
    {
        for (HANDLE& h : instances)
            h = CreateNamedPipeA(kPipeName, PIPE_ACCESS_DUPLEX, 0, 4, 64, 64, 0, nullptr);
        typedef NTSTATUS(NTAPI * CreateLinkProc)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*,
                                                 UNICODE_STRING*);
        UNICODE_STRING name = Unicode(L"\\??\\VeraCrypt"), target = Unicode(kPipeDeviceW);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
        NTSTATUS status = ((CreateLinkProc)GetProcAddress(
            GetModuleHandleA("ntdll.dll"), "NtCreateSymbolicLinkObject"))(
            &link, 0xF0001, &attributes, &target);
        EXPECT_EQ(0, status);
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
    FakeVolume volume;
    char target[MAX_PATH] = {};
    ASSERT_NE(0u, QueryDosDeviceA("Q:", target, MAX_PATH));
    ASSERT_STREQ(kVolumeTarget, target);

    struct Case {
        const char* what;
        bool pipe;
        DWORD force, loop;
        const char* output;
    };
    const Case cases[] = {
        // Nothing reached a driver: nothing to say here, the caller says "failed".
        {"no driver", false, 0, 0, ""},
        {"no driver, -f -l", false, 1, 1, ""},
        // The first request fails: one line, no further request of any kind.
        {"request fails", true, 0, 0, "\r\nVeraCrypt: error"},
        {"request fails, -f -l", true, 1, 1, "\r\nVeraCrypt: error"},
    };
    for (const Case& c : cases) {
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
        std::string once = c.output;
        EXPECT_EQ(once + once, text) << c.what;
    }
}
