// One request to a crypt driver's control device (the mount list, the
// dismount), made on a worker thread. The drivers work on each request inside
// the caller's call, one at a time under one driver-wide lock, so a call may
// take many seconds: a forced dismount retries inside the driver for up to
// about 20 s, and a mount in progress holds the lock through its key
// derivation. Meanwhile the main thread waits in short steps and the keys
// still work: after 10 s "waiting for the driver..." is shown once; Ctrl+C,
// or Esc (which then requests the stop), make the run stop once the driver
// has answered, which is said at once. The answer is always waited for: no
// user-mode program can take back a request that is inside a driver.
#pragma once
#include <windows.h>

struct DriverRequest {
    const char* driverPath;   // "\\.\VeraCrypt"
    DWORD       code;         // the device I/O control code
    void*       buffer;       // input and output, buffered
    DWORD       inLength;     // bytes sent
    DWORD       outLength;    // bytes the buffer holds for the answer
};

enum DriverCallResult {
    DriverCallNotOpened = 0,  // the driver's device could not be opened (last error set)
    DriverCallFailed = 1,     // the call failed (last error set)
    DriverCallAnswered = 2,   // the driver answered; *returned holds its byte count
};

// Makes the request; returns a DriverCallResult. After the call the stop flag
// (IsStopRequested) tells whether the user asked to stop meanwhile.
int CallDriver(const DriverRequest* request, DWORD* returned);

// Test programs put a driver of their own here (before the first request);
// null, the real call.
typedef int (*DriverCallFn)(const DriverRequest* request, DWORD* returned);
extern DriverCallFn driverCallOverride;
