// simctl: steers the simulated crypt-volume drivers of the test world.
//
//   simctl mount truecrypt|veracrypt X: CONTAINER [--label TEXT] [--guid {GUID}] [--keep-link] [--if-missing]
//                                   [--foreign] [--hidvol-triggered]
//   simctl plan X: ENTRY[,ENTRY...]  answers for the next dismount requests; an entry is
//                                   CODE, delay=MS[:CODE] or hang[:CODE] (held until released)
//   simctl release X: [CODE]        answer now the dismount request of X: kept inside the driver
//   simctl dismount X: [--force] [--overlapped]   send a dismount request for drive X,
//                                   print its answer (and, overlapped, when the call returned)
//   simctl mount-list truecrypt|veracrypt   send the mount-list request, print the drives
//                                   and how long the call took
//   simctl busy truecrypt|veracrypt MS      hold that driver's driver-wide lock for MS ms
//   simctl force-time X: MS         a forced dismount of X: with open handles takes MS ms
//   simctl elevated yes|no          whether the drivers see their callers as elevated: only
//                                   they see volumes mounted --foreign (another user's)
//   simctl relink X: Y:             move the volume's drive-letter link from X: to Y:
//   simctl vanish X:                remove the volume as if dismounted elsewhere
//   simctl unlink X:                remove the DOS device name X: behind the driver's back
//   simctl log [--clear]            one line per answered (or canceled) dismount request
//   simctl session-link DIR X: TARGET   permanent link \Sessions\0\DosDevices\DIR\X:
//   simctl session-list             every link below \Sessions\0\DosDevices
//   simctl status                   mounted volumes of both drivers, open handles
//   simctl start-driver truecrypt|veracrypt [PATH]   install the service (with its driver
//                                   file at PATH, default system32\drivers) and start it
//   simctl malform truecrypt|veracrypt MODE   spoil that driver's next mount-list reply:
//                                   empty-paths, unterminated, high-bits, short (off cancels)
//   simctl reset                    drop all volumes, plans, the log, malform orders and session
//                                   links, and end a dismount request kept inside
//   simctl desktop                  make sure Wine's desktop process runs
// Several commands may be chained in one run with a lone "+" between them.
// Exit code 0 on success, 1 when a command failed, 2 on a bad command line.
#include <windows.h>
#include <winternl.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <string>
#include <vector>
#include "sim_protocol.h"

namespace {

// The verbs named in the usage and unknown-verb messages.
const char verbList[] = "mount, plan, release, dismount, mount-list, busy, force-time, elevated, relink, vanish, unlink, log, "
                        "session-link, session-list, status, malform";
const char *const productNames[2] = {"TrueCrypt", "VeraCrypt"};
const char *const serviceNames[2] = {"truecrypt", "veracrypt"};
const char *const devicePaths[2] = {"\\\\.\\TrueCrypt", "\\\\.\\VeraCrypt"};

int Fail(int code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("simctl: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return code;
}

int ProductIndex(const char *name)
{
    for (int i = 0; i < 2; i++)
        if (!_stricmp(name, serviceNames[i])) return i;
    return -1;
}

// "X:" or "x:" (a lone letter is accepted too); returns 'A'..'Z' or 0.
unsigned ParseLetter(const char *text)
{
    if (!text || !text[0]) return 0;
    if (text[1] && !(text[1] == ':' && !text[2])) return 0;
    char c = text[0];
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return (c >= 'A' && c <= 'Z') ? (unsigned)c : 0;
}

// The arguments as main got them and as the UTF-16 command line holds them,
// so that containers and labels keep letters the ANSI code page lacks.
char **narrowArgs;
wchar_t **wideArgs;
int argCount;

void ToWide(const char *text, unsigned short *out, int size)
{
    wchar_t buffer[SIM_PATH_MAX];
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, SIM_PATH_MAX);
    if (n <= 0) buffer[0] = 0;
    for (int a = 0; wideArgs && a < argCount; a++)
        if (narrowArgs[a] == text) lstrcpynW(buffer, wideArgs[a], SIM_PATH_MAX);
    int i = 0;
    for (; i + 1 < size && buffer[i]; i++) out[i] = (unsigned short)buffer[i];
    out[i] = 0;
}

// The control device of a driver; INVALID_HANDLE_VALUE when it is not loaded.
HANDLE OpenDriver(int product)
{
    return CreateFileA(devicePaths[product], 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
}

// The name of a part of a driver's channel (sim_protocol.h).
std::string ChannelName(int product, const char *part)
{
    return std::string(SIM_CHANNEL_USER_PREFIX) + productNames[product] + part;
}

// Sends one order to a driver through its channel. Returns the outcome as a
// Win32 error (0 on success; ERROR_FILE_NOT_FOUND when the driver is not
// loaded); *reply gets the reply when asked for.
DWORD SendControl(int product, SimRequest *request, SimReply *reply)
{
    HANDLE lock = CreateMutexA(NULL, FALSE, ChannelName(product, "Lock").c_str());
    if (!lock) return GetLastError();
    DWORD error = 0;
    HANDLE order = NULL, done = NULL, section = NULL;
    SimChannel *channel = NULL;
    DWORD waited = WaitForSingleObject(lock, 60000);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(lock);
        return ERROR_TIMEOUT;
    }
    order = OpenEventA(EVENT_MODIFY_STATE, FALSE, ChannelName(product, "Order").c_str());
    done = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, ChannelName(product, "Done").c_str());
    section = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, ChannelName(product, "Channel").c_str());
    if (section) channel = (SimChannel *)MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SimChannel));
    if (!order || !done || !channel) {
        error = ERROR_FILE_NOT_FOUND;
    } else {
        memset(&channel->io, 0, sizeof(channel->io));
        memcpy(&channel->io.request, request, sizeof(*request));
        ResetEvent(done);   // a late answer to an order that timed out
        SetEvent(order);
        if (WaitForSingleObject(done, 60000) != WAIT_OBJECT_0) error = ERROR_TIMEOUT;
        else if (channel->status) error = RtlNtStatusToDosError(channel->status);
        else if (reply) memcpy(reply, &channel->io.reply, sizeof(*reply));
    }
    if (channel) UnmapViewOfFile(channel);
    for (HANDLE h : {order, done, section})
        if (h) CloseHandle(h);
    ReleaseMutex(lock);
    CloseHandle(lock);
    return error;
}

// Whether a driver serves its channel; asks nothing of its device, which may
// be busy with a request.
bool DriverLoaded(int product)
{
    HANDLE order = OpenEventA(SYNCHRONIZE, FALSE, ChannelName(product, "Order").c_str());
    if (!order) return false;
    CloseHandle(order);
    return true;
}

// The driver that has a volume at this letter (mounted with it, or linked to it).
int ProductOfLetter(unsigned letter)
{
    static SimReply reply;
    for (int pass = 0; pass < 2; pass++) {
        for (int p = 0; p < 2; p++) {
            SimRequest request = {};
            request.verb = SIM_VERB_STATUS;
            if (SendControl(p, &request, &reply)) continue;
            for (unsigned i = 0; i < reply.count; i++) {
                const SimVolumeInfo &v = reply.u.volumes[i];
                if ((pass == 0 && v.letter == letter) || (pass == 1 && v.linkLetter == letter)) return p;
            }
        }
    }
    return -1;
}

// Sends a request about the volume at a letter to the driver that has it.
int SendToVolume(const char *verb, unsigned letter, SimRequest *request)
{
    int product = ProductOfLetter(letter);
    if (product < 0) {
        if (!DriverLoaded(0) && !DriverLoaded(1)) return Fail(1, "no simulated driver is loaded");
        return Fail(1, "no volume is mounted at %c:", letter);
    }
    DWORD error = SendControl(product, request, NULL);
    return error ? Fail(1, "%s %c: failed: error %lu", verb, letter, error) : 0;
}

int CmdMount(int argc, char **argv)
{
    if (argc < 4) return Fail(2, "usage: mount truecrypt|veracrypt X: CONTAINER [--label TEXT] [--guid {GUID}] [--keep-link]");
    int product = ProductIndex(argv[1]);
    if (product < 0) return Fail(2, "unknown product '%s' (truecrypt or veracrypt)", argv[1]);
    unsigned letter = ParseLetter(argv[2]);
    if (!letter) return Fail(2, "bad drive letter '%s'", argv[2]);
    SimRequest request = {};
    request.verb = SIM_VERB_MOUNT;
    request.letter = letter;
    ToWide(argv[3], request.container, SIM_PATH_MAX);
    for (int i = 4; i < argc; i++) {
        if (!strcmp(argv[i], "--label") && i + 1 < argc) {
            ToWide(argv[++i], request.label, SIM_LABEL_MAX);
        } else if (!strcmp(argv[i], "--guid") && i + 1 < argc) {
            const char *guid = argv[++i];
            if (guid[0] != '{' || strlen(guid) != 38 || guid[37] != '}')
                return Fail(2, "bad volume GUID '%s' (want {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx})", guid);
            ToWide(guid, request.guid, SIM_GUID_MAX);
        } else if (!strcmp(argv[i], "--keep-link")) {
            request.flags |= SIM_FLAG_KEEP_LINK;
        } else if (!strcmp(argv[i], "--if-missing")) {
            request.flags |= SIM_FLAG_IF_MISSING;
        } else if (!strcmp(argv[i], "--foreign")) {
            request.flags |= SIM_FLAG_FOREIGN;
        } else if (!strcmp(argv[i], "--hidvol-triggered")) {
            request.flags |= SIM_FLAG_HIDVOL_TRIGGERED;
        } else {
            return Fail(2, "unknown mount option '%s'", argv[i]);
        }
    }
    DWORD error = SendControl(product, &request, NULL);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return Fail(1, "the %s driver is not loaded", productNames[product]);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        return Fail(1, "%c: is already mounted by the %s driver", letter, productNames[product]);
    if (error) return Fail(1, "mount %c: failed: error %lu", letter, error);
    return 0;
}

// A decimal result code; *end gets what follows it. False when there is none.
bool ParseCode(const char *text, const char **end, int *code)
{
    char *stop;
    long value = strtol(text, &stop, 10);
    if (stop == text || value == SIM_ANSWER_USUAL || value == SIM_ANSWER_CANCELED) return false;
    *code = (int)value;
    *end = stop;
    return true;
}

// One plan entry: CODE, delay=MS[:CODE] or hang[:CODE]; *end gets what follows.
bool ParsePlanEntry(const char *text, const char **end, SimPlanEntry *entry)
{
    entry->answer = SIM_ANSWER_USUAL;
    entry->delay = 0;
    if (!strncmp(text, "hang", 4)) {
        entry->delay = SIM_DELAY_HANG;
        text += 4;
    } else if (!strncmp(text, "delay=", 6)) {
        char *stop;
        unsigned long ms = strtoul(text + 6, &stop, 10);
        if (stop == text + 6 || ms == 0 || ms > 3600000) return false;
        entry->delay = (unsigned)ms;
        text = stop;
    } else {
        return ParseCode(text, end, &entry->answer);
    }
    *end = text;
    return *text != ':' || ParseCode(text + 1, end, &entry->answer);
}

int CmdPlan(int argc, char **argv)
{
    if (argc != 3) return Fail(2, "usage: plan X: ENTRY[,ENTRY...] (CODE, delay=MS[:CODE], hang[:CODE])");
    unsigned letter = ParseLetter(argv[1]);
    if (!letter) return Fail(2, "bad drive letter '%s'", argv[1]);
    SimRequest request = {};
    request.verb = SIM_VERB_PLAN;
    request.letter = letter;
    const char *p = argv[2];
    while (*p) {
        const char *end;
        if (request.planCount == SIM_PLAN_MAX) return Fail(2, "a plan holds at most %d entries", SIM_PLAN_MAX);
        if (!ParsePlanEntry(p, &end, &request.plan[request.planCount++]) || (*end && *end != ','))
            return Fail(2, "bad plan '%s'", argv[2]);
        p = *end ? end + 1 : end;
    }
    return SendToVolume(argv[0], letter, &request);
}

// A request kept inside may outlive its volume, so both drivers are asked.
int CmdRelease(int argc, char **argv)
{
    if (argc != 2 && argc != 3) return Fail(2, "usage: release X: [CODE]");
    unsigned letter = ParseLetter(argv[1]);
    if (!letter) return Fail(2, "bad drive letter '%s'", argv[1]);
    SimRequest request = {};
    request.verb = SIM_VERB_RELEASE;
    request.letter = letter;
    request.answer = SIM_ANSWER_USUAL;
    const char *end;
    if (argc == 3 && (!ParseCode(argv[2], &end, &request.answer) || *end))
        return Fail(2, "bad code '%s'", argv[2]);
    int released = 0;
    for (int p = 0; p < 2; p++) released += SendControl(p, &request, NULL) == 0;
    return released ? 0 : Fail(1, "no dismount request of %c: is held", letter);
}

// Milliseconds since start, from the performance counter.
unsigned ElapsedMs(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (unsigned)((now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
}

// Sends the real mount-list request with the driver's own size and prints
// "drives=LETTERS ms=N": what a reader of the list sees, and how long the
// call took (it waits while the driver works on another request).
int CmdMountList(int argc, char **argv)
{
    int product = argc == 2 ? ProductIndex(argv[1]) : -1;
    if (product < 0) return Fail(2, "usage: mount-list truecrypt|veracrypt");
    static SimReply status;
    SimRequest request = {};
    request.verb = SIM_VERB_STATUS;
    DWORD error = SendControl(product, &request, &status);
    if (error) return Fail(1, "the %s driver is not loaded", productNames[product]);
    HANDLE device = OpenDriver(product);
    if (device == INVALID_HANDLE_VALUE) return Fail(1, "cannot open %s: error %lu", devicePaths[product], GetLastError());
    std::vector<unsigned char> list(status.listSize);
    DWORD returned = 0;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    BOOL ok = DeviceIoControl(device, SIM_IOCTL_MOUNT_LIST, list.data(), (DWORD)list.size(), list.data(),
                              (DWORD)list.size(), &returned, NULL);
    unsigned took = ElapsedMs(start);
    error = GetLastError();
    CloseHandle(device);
    if (!ok) return Fail(1, "mount list: error %lu", error);
    unsigned mask = *(unsigned *)list.data();
    printf("drives=");
    for (int i = 0; i < 26; i++)
        if (mask & (1u << i)) putchar('A' + i);
    printf(" ms=%u\n", took);
    return 0;
}

// Holds a driver's driver-wide lock for MS ms; returns once it is held.
int CmdBusy(int argc, char **argv)
{
    int product = argc == 3 ? ProductIndex(argv[1]) : -1;
    char *stop = NULL;
    unsigned long ms = argc == 3 ? strtoul(argv[2], &stop, 10) : 0;
    if (product < 0 || !ms || *stop || ms > SIM_BUSY_MAX) return Fail(2, "usage: busy truecrypt|veracrypt MS (1 to %u)", SIM_BUSY_MAX);
    SimRequest request = {};
    request.verb = SIM_VERB_BUSY;
    request.ms = (unsigned)ms;
    DWORD error = SendControl(product, &request, NULL);
    return error ? Fail(1, "busy failed: error %lu", error) : 0;
}

// How both drivers see their callers: elevated (yes) or standard users (no).
int CmdElevated(int argc, char **argv)
{
    if (argc != 2 || (strcmp(argv[1], "yes") && strcmp(argv[1], "no"))) return Fail(2, "usage: elevated yes|no");
    SimRequest request = {};
    request.verb = SIM_VERB_ELEVATED;
    request.flags = !strcmp(argv[1], "yes");
    int done = 0;
    for (int p = 0; p < 2; p++) done += SendControl(p, &request, NULL) == 0;
    return done ? 0 : Fail(1, "no simulated driver is loaded");
}

int CmdForceTime(int argc, char **argv)
{
    unsigned letter = argc == 3 ? ParseLetter(argv[1]) : 0;
    char *stop = NULL;
    unsigned long ms = argc == 3 ? strtoul(argv[2], &stop, 10) : 0;
    if (!letter || stop == argv[2] || *stop || ms > SIM_FORCE_TIME_MAX)
        return Fail(2, "usage: force-time X: MS (0 to %u)", SIM_FORCE_TIME_MAX);
    SimRequest request = {};
    request.verb = SIM_VERB_FORCE_TIME;
    request.letter = letter;
    request.ms = (unsigned)ms;
    return SendToVolume(argv[0], letter, &request);
}

// Sends the product's 16-byte dismount request to the driver that has the
// volume, and prints the answer ("answer=N", "volume_was_busy=1" when forced
// past open handles). --overlapped sends it as an overlapped call and says
// first when that call returned: "pending after N ms" or "answered after N ms".
int CmdDismount(int argc, char **argv)
{
    bool force = false, overlapped = false;
    for (int i = 2; i < argc; i++) {
        if (!strcmp(argv[i], "--force")) force = true;
        else if (!strcmp(argv[i], "--overlapped")) overlapped = true;
        else return Fail(2, "usage: dismount X: [--force] [--overlapped]");
    }
    unsigned letter = argc >= 2 ? ParseLetter(argv[1]) : 0;
    if (!letter) return Fail(2, "usage: dismount X: [--force] [--overlapped]");
    int product = ProductOfLetter(letter);
    if (product < 0) return Fail(1, "no volume is mounted at %c:", letter);
    HANDLE device = CreateFileA(devicePaths[product], 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
    if (device == INVALID_HANDLE_VALUE) return Fail(1, "cannot open %s: error %lu", devicePaths[product], GetLastError());
    SimDismountBlock block = {(int)(letter - 'A'), force ? 1u : 0u, 0, 0};
    DWORD returned = 0;
    OVERLAPPED io = {};
    io.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    BOOL ok = DeviceIoControl(device, SIM_IOCTL_DISMOUNT, &block, sizeof(block), &block, sizeof(block),
                              &returned, overlapped ? &io : NULL);
    DWORD error = GetLastError();
    if (overlapped) {
        bool pending = !ok && error == ERROR_IO_PENDING;
        printf("%s after %u ms\n", pending ? "pending" : "answered", ElapsedMs(start));
        fflush(stdout);
        if (pending) {
            ok = GetOverlappedResult(device, &io, &returned, TRUE);
            error = GetLastError();
        }
    }
    CloseHandle(io.hEvent);
    CloseHandle(device);
    if (!ok) return Fail(1, "dismount %c: failed: error %lu", letter, error);
    printf("answer=%d%s\n", block.returnCode, block.hiddenVolumeProtectionTriggered ? " hidvol_triggered=1" : "");
    return 0;
}

int CmdLetterVerb(int argc, char **argv, unsigned verb)
{
    bool relink = verb == SIM_VERB_RELINK;
    if (argc != (relink ? 3 : 2)) return Fail(2, relink ? "usage: relink X: Y:" : "usage: vanish X:");
    unsigned letter = ParseLetter(argv[1]);
    if (!letter) return Fail(2, "bad drive letter '%s'", argv[1]);
    SimRequest request = {};
    request.verb = verb;
    request.letter = letter;
    if (relink) {
        request.letter2 = ParseLetter(argv[2]);
        if (!request.letter2) return Fail(2, "bad drive letter '%s'", argv[2]);
    }
    return SendToVolume(argv[0], letter, &request);
}

// Removes a DOS device name as another program on the system might, leaving
// the device it led to in place. Wine reports a failure for a removal that
// worked: the query decides.
int CmdUnlink(int argc, char **argv)
{
    if (argc != 2 || !ParseLetter(argv[1])) return Fail(2, "usage: unlink X:");
    char name[3] = {(char)ParseLetter(argv[1]), ':', 0}, target[MAX_PATH];
    DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION, name, NULL);
    if (!QueryDosDeviceA(name, target, MAX_PATH)) return 0;
    return Fail(1, "%s still leads to %s", name, target);
}

const char *const malformModes[] = {"off", "empty-paths", "unterminated", "high-bits", "short"};
const unsigned malformModeCount = sizeof(malformModes) / sizeof(malformModes[0]);

int CmdMalform(int argc, char **argv)
{
    if (argc != 3) return Fail(2, "usage: malform truecrypt|veracrypt empty-paths|unterminated|high-bits|short|off");
    int product = ProductIndex(argv[1]);
    if (product < 0) return Fail(2, "unknown product '%s' (truecrypt or veracrypt)", argv[1]);
    SimRequest request = {};
    request.verb = SIM_VERB_MALFORM;
    request.flags = malformModeCount;
    for (unsigned i = 0; i < malformModeCount; i++)
        if (!strcmp(argv[2], malformModes[i])) request.flags = i;
    if (request.flags == malformModeCount)
        return Fail(2, "unknown mode '%s' (empty-paths, unterminated, high-bits, short, off)", argv[2]);
    DWORD error = SendControl(product, &request, NULL);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return Fail(1, "the %s driver is not loaded", productNames[product]);
    return error ? Fail(1, "malform failed: error %lu", error) : 0;
}

int CmdStatus(int argc, char **)
{
    if (argc != 1) return Fail(2, "usage: status");
    static SimReply reply;
    int loaded = 0;
    for (int p = 0; p < 2; p++) {
        SimRequest request = {};
        request.verb = SIM_VERB_STATUS;
        if (SendControl(p, &request, &reply)) {
            printf("%s: not loaded\n", productNames[p]);
            continue;
        }
        loaded++;
        printf("%s: loaded, mount list %u bytes, %u volume(s)%s\n", productNames[p], reply.listSize, reply.count,
               reply.elevated ? ", callers elevated" : "");
        if (reply.malform)
            printf("%s: next mount list malformed: %s\n", productNames[p],
                   reply.malform < malformModeCount ? malformModes[reply.malform] : "?");
        for (unsigned i = 0; i < reply.count; i++) {
            const SimVolumeInfo &v = reply.u.volumes[i];
            char link[3] = {(char)v.linkLetter, ':', 0};
            printf("%s %c: handles=%d link=%s container=%ls", productNames[p], (char)v.letter, v.handles,
                   v.linkLetter ? link : "-", (const wchar_t *)v.container);
            if (v.label[0]) printf(" label=%ls", (const wchar_t *)v.label);
            if (v.guid[0]) printf(" guid=%ls", (const wchar_t *)v.guid);
            if (v.flags & SIM_FLAG_KEEP_LINK) printf(" keep-link");
            if (v.flags & SIM_FLAG_FOREIGN) printf(" foreign");
            if (v.flags & SIM_FLAG_HIDVOL_TRIGGERED) printf(" hidvol-triggered");
            if (v.planLeft) printf(" planned=%u", v.planLeft);
            if (v.held) printf(" held=%u", v.held);
            if (v.forceMs) printf(" force-time=%u", v.forceMs);
            printf("\n");
        }
    }
    return loaded ? 0 : Fail(1, "no simulated driver is loaded");
}

int CmdLog(int argc, char **argv)
{
    bool clear = argc == 2 && !strcmp(argv[1], "--clear");
    if (argc != 1 && !clear) return Fail(2, "usage: log [--clear]");
    static SimReply replies[2];
    bool have[2] = {false, false};
    long long start = 0;
    for (int p = 0; p < 2; p++) {
        SimRequest request = {};
        request.verb = SIM_VERB_LOG;
        have[p] = SendControl(p, &request, &replies[p]) == 0;
        if (have[p] && (!start || replies[p].startTime < start)) start = replies[p].startTime;
    }
    if (!have[0] && !have[1]) return Fail(1, "no simulated driver is loaded");
    // Merge the two drivers' entries by time.
    unsigned next[2] = {0, 0};
    for (;;) {
        int pick = -1;
        for (int p = 0; p < 2; p++) {
            if (!have[p] || next[p] >= replies[p].count) continue;
            if (pick < 0 || replies[p].u.log[next[p]].time < replies[pick].u.log[next[pick]].time) pick = p;
        }
        if (pick < 0) break;
        const SimLogEntry &e = replies[pick].u.log[next[pick]++];
        char drive = (e.driveNumber >= 0 && e.driveNumber <= 25) ? (char)('A' + e.driveNumber) : '?';
        printf("%lld %c: force=%u ", (e.time - start) / 10000, drive, e.force);
        if (e.answer == SIM_ANSWER_CANCELED) printf("canceled");
        else printf("answer=%d", e.answer);
        if (e.held) printf(" waited=%u", e.waited);
        printf("\n");
    }
    if (clear) {
        for (int p = 0; p < 2; p++) {
            if (!have[p]) continue;
            SimRequest request = {};
            request.verb = SIM_VERB_CLEAR_LOG;
            SendControl(p, &request, NULL);
        }
    }
    return 0;
}

// ---- object-manager links in \Sessions\0\DosDevices ----

extern "C" {
NTSTATUS NTAPI NtCreateDirectoryObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, PULONG, PULONG);
NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);
NTSTATUS NTAPI NtOpenSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
NTSTATUS NTAPI NtQuerySymbolicLinkObject(HANDLE, PUNICODE_STRING, PULONG);
NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE);
}

const wchar_t sessionRoot[] = L"\\Sessions\\0\\DosDevices";

struct DirEntry {
    UNICODE_STRING name;
    UNICODE_STRING type;
};

void InitAttributes(OBJECT_ATTRIBUTES *attributes, UNICODE_STRING *name, const wchar_t *text, ULONG flags)
{
    name->Buffer = (PWSTR)text;
    name->Length = (USHORT)(wcslen(text) * 2);
    name->MaximumLength = name->Length + 2;
    InitializeObjectAttributes(attributes, name, flags, NULL, NULL);
}

// Calls visit(name, isLink) for every entry of an object directory.
template <typename Visit>
NTSTATUS ForEachEntry(const wchar_t *path, Visit visit)
{
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING name;
    InitAttributes(&attributes, &name, path, OBJ_CASE_INSENSITIVE);
    HANDLE dir;
    NTSTATUS status = NtOpenDirectoryObject(&dir, 0x0001, &attributes);
    if (status < 0) return status;
    ULONG context = 0, returned = 0;
    static ULONG buffer[1024];
    while (NtQueryDirectoryObject(dir, buffer, sizeof(buffer), TRUE, FALSE, &context, &returned) >= 0) {
        DirEntry *entry = (DirEntry *)buffer;
        if (!entry->name.Buffer) continue;
        wchar_t entryName[256] = {}, typeName[64] = {};
        wcsncpy(entryName, entry->name.Buffer, (size_t)(entry->name.Length / 2 < 255 ? entry->name.Length / 2 : 255));
        if (entry->type.Buffer) wcsncpy(typeName, entry->type.Buffer, (size_t)(entry->type.Length / 2 < 63 ? entry->type.Length / 2 : 63));
        visit(entryName, wcscmp(typeName, L"SymbolicLink") == 0);
    }
    CloseHandle(dir);
    return 0;
}

int CmdSessionLink(int argc, char **argv)
{
    if (argc != 4) return Fail(2, "usage: session-link DIR X: TARGET");
    unsigned letter = ParseLetter(argv[2]);
    if (!letter) return Fail(2, "bad drive letter '%s'", argv[2]);
    wchar_t dirPath[300], linkPath[320], target[SIM_PATH_MAX];
    unsigned short dirName[100];
    ToWide(argv[1], dirName, 100);
    swprintf(dirPath, 300, L"%ls\\%ls", sessionRoot, (const wchar_t *)dirName);
    swprintf(linkPath, 320, L"%ls\\%c:", dirPath, (wchar_t)letter);
    ToWide(argv[3], (unsigned short *)target, SIM_PATH_MAX);

    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING name, targetName;
    HANDLE dir, link;
    // Both objects are permanent so that they outlive this program.
    InitAttributes(&attributes, &name, dirPath, OBJ_CASE_INSENSITIVE | OBJ_OPENIF | OBJ_PERMANENT);
    NTSTATUS status = NtCreateDirectoryObject(&dir, 0x000F000F, &attributes);
    if (status < 0) return Fail(1, "cannot create %ls: status 0x%08lx", dirPath, (unsigned long)status);
    InitAttributes(&attributes, &name, linkPath, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT);
    targetName.Buffer = target;
    targetName.Length = (USHORT)(wcslen(target) * 2);
    targetName.MaximumLength = targetName.Length + 2;
    status = NtCreateSymbolicLinkObject(&link, 0x000F0001, &attributes, &targetName);
    CloseHandle(dir);
    if (status < 0) return Fail(1, "cannot create %ls: status 0x%08lx", linkPath, (unsigned long)status);
    CloseHandle(link);
    return 0;
}

// Lists, or with remove set deletes, every link in the session directories.
// Names are collected before anything goes: a deletion during a listing moves
// the entries behind it, and the next one would be passed over.
int WalkSessionLinks(bool remove)
{
    std::vector<std::wstring> dirs;
    NTSTATUS status = ForEachEntry(sessionRoot, [&](const wchar_t *dirName, bool) {
        dirs.push_back(dirName);
    });
    if (status < 0) return Fail(1, "cannot open %ls: status 0x%08lx", sessionRoot, (unsigned long)status);
    for (const std::wstring &dirName : dirs) {
        wchar_t dirPath[300];
        swprintf(dirPath, 300, L"%ls\\%ls", sessionRoot, dirName.c_str());
        std::vector<std::wstring> links;
        ForEachEntry(dirPath, [&](const wchar_t *entryName, bool isLink) {
            if (isLink) links.push_back(entryName);
        });
        for (const std::wstring &entryName : links) {
            wchar_t linkPath[600], target[SIM_PATH_MAX + 1] = {};
            swprintf(linkPath, 600, L"%ls\\%ls", dirPath, entryName.c_str());
            OBJECT_ATTRIBUTES attributes;
            UNICODE_STRING name, targetName = {0, SIM_PATH_MAX * 2, target};
            InitAttributes(&attributes, &name, linkPath, OBJ_CASE_INSENSITIVE);
            HANDLE link;
            if (NtOpenSymbolicLinkObject(&link, 0x00010001, &attributes) < 0) continue;
            if (remove) {
                NtMakeTemporaryObject(link);
            } else {
                NtQuerySymbolicLinkObject(link, &targetName, NULL);
                printf("%ls\\%ls -> %ls\n", dirName.c_str(), entryName.c_str(), target);
            }
            CloseHandle(link);
        }
        if (remove) {
            OBJECT_ATTRIBUTES attributes;
            UNICODE_STRING name;
            InitAttributes(&attributes, &name, dirPath, OBJ_CASE_INSENSITIVE);
            HANDLE dir;
            if (NtOpenDirectoryObject(&dir, 0x00010000, &attributes) >= 0) {
                NtMakeTemporaryObject(dir);
                CloseHandle(dir);
            }
        }
    }
    return 0;
}

int CmdStartDriver(int argc, char **argv)
{
    if (argc != 2 && argc != 3) return Fail(2, "usage: start-driver truecrypt|veracrypt [PATH]");
    int product = ProductIndex(argv[1]);
    if (product < 0) return Fail(2, "unknown product '%s' (truecrypt or veracrypt)", argv[1]);
    if (DriverLoaded(product)) return 0;
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!manager) return Fail(1, "cannot open the service manager: error %lu", GetLastError());
    char binary[MAX_PATH];
    if (argc == 3) snprintf(binary, sizeof(binary), "%s", argv[2]);
    else snprintf(binary, sizeof(binary), "C:\\windows\\system32\\drivers\\%s.sys", serviceNames[product]);
    SC_HANDLE service = CreateServiceA(manager, serviceNames[product], productNames[product],
                                       SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, binary, NULL, NULL, NULL, NULL, NULL);
    // The prefix outlives a world: a service made before may point elsewhere.
    if (!service && (service = OpenServiceA(manager, serviceNames[product], SERVICE_ALL_ACCESS)) &&
        !ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, binary, NULL,
                              NULL, NULL, NULL, NULL, NULL)) {
        DWORD error = GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return Fail(1, "cannot point the %s service at %s: error %lu", serviceNames[product], binary, error);
    }
    if (!service) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return Fail(1, "cannot create the %s service: error %lu", serviceNames[product], error);
    }
    // A start right after the create may fail with 1060, one while the
    // service database is busy with 1055, and one that outlasts the service
    // manager's wait with 1053 although the driver comes up later: retry
    // until its device appears, within 90 s.
    DWORD error = 0, start = GetTickCount();
    bool loaded = false;
    while (!(loaded = DriverLoaded(product)) && GetTickCount() - start < 90000) {
        if (StartServiceA(service, 0, NULL) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
            error = 0;
            for (int i = 0; i < 50 && !(loaded = DriverLoaded(product)); i++) Sleep(100);
            if (loaded) break;
        } else {
            error = GetLastError();
            Sleep(200);
        }
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (loaded) return 0;
    if (error) return Fail(1, "cannot start the %s driver: error %lu", serviceNames[product], error);
    return Fail(1, "the %s driver started but its device did not appear", serviceNames[product]);
}

int CmdReset(int argc, char **)
{
    if (argc != 1) return Fail(2, "usage: reset");
    int loaded = 0;
    for (int p = 0; p < 2; p++) {
        SimRequest request = {};
        request.verb = SIM_VERB_RESET;
        if (!SendControl(p, &request, NULL)) loaded++;
    }
    WalkSessionLinks(true);
    return loaded ? 0 : Fail(1, "no simulated driver is loaded");
}

// Creates the desktop window, which starts Wine's desktop process if it does
// not run yet. Without a display this fails quietly.
int CmdDesktop(int argc, char **)
{
    if (argc != 1) return Fail(2, "usage: desktop");
    HMODULE user32 = LoadLibraryA("user32.dll");
    FARPROC desktop = user32 ? GetProcAddress(user32, "GetDesktopWindow") : nullptr;
    if (desktop) ((HWND(WINAPI *)(void))desktop)();
    return 0;
}

int RunCommand(int argc, char **argv)
{
    const char *verb = argv[0];
    if (!strcmp(verb, "mount")) return CmdMount(argc, argv);
    if (!strcmp(verb, "plan")) return CmdPlan(argc, argv);
    if (!strcmp(verb, "release")) return CmdRelease(argc, argv);
    if (!strcmp(verb, "dismount")) return CmdDismount(argc, argv);
    if (!strcmp(verb, "mount-list")) return CmdMountList(argc, argv);
    if (!strcmp(verb, "busy")) return CmdBusy(argc, argv);
    if (!strcmp(verb, "force-time")) return CmdForceTime(argc, argv);
    if (!strcmp(verb, "elevated")) return CmdElevated(argc, argv);
    if (!strcmp(verb, "relink")) return CmdLetterVerb(argc, argv, SIM_VERB_RELINK);
    if (!strcmp(verb, "vanish")) return CmdLetterVerb(argc, argv, SIM_VERB_VANISH);
    if (!strcmp(verb, "unlink")) return CmdUnlink(argc, argv);
    if (!strcmp(verb, "log")) return CmdLog(argc, argv);
    if (!strcmp(verb, "session-link")) return CmdSessionLink(argc, argv);
    if (!strcmp(verb, "session-list")) return argc == 1 ? WalkSessionLinks(false) : Fail(2, "usage: session-list");
    if (!strcmp(verb, "status")) return CmdStatus(argc, argv);
    if (!strcmp(verb, "start-driver")) return CmdStartDriver(argc, argv);
    if (!strcmp(verb, "reset")) return CmdReset(argc, argv);
    if (!strcmp(verb, "malform")) return CmdMalform(argc, argv);
    if (!strcmp(verb, "desktop")) return CmdDesktop(argc, argv);
    return Fail(2, "unknown verb '%s' (%s)", verb, verbList);
}

}  // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IOFBF, 1 << 16);
    if (argc < 2) return Fail(2, "usage: simctl VERB ARGS... (%s)", verbList);
    int wideCount = 0;
    wideArgs = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    if (wideCount != argc) wideArgs = nullptr;
    narrowArgs = argv, argCount = argc;
    int first = 1;
    for (int i = 1; i <= argc; i++) {
        if (i < argc && strcmp(argv[i], "+")) continue;
        if (i == first) return Fail(2, "empty command");
        int rc = RunCommand(i - first, argv + first);
        fflush(stdout);
        if (rc) return rc;
        first = i + 1;
    }
    return 0;
}
