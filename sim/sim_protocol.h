// The simulated crypt-volume drivers' device protocol: the two requests that the
// real drivers answer, and the private channel through which simctl steers the
// simulation. Shared by the kernel-mode driver and the user-mode tools, so it
// uses only plain C types.
#ifndef SIM_PROTOCOL_H
#define SIM_PROTOCOL_H

#define SIM_IOCTL_DISMOUNT    0x222010u  // device type 0x22, function 0x804, buffered
#define SIM_IOCTL_MOUNT_LIST  0x222018u  // device type 0x22, function 0x806, buffered

// simctl's orders do not travel as requests to the device: Wine's device host
// hands a driver its requests on one thread, and a request that the driver
// keeps inside (a planned delay or hang, as the real drivers work on every
// request inside the caller's call) would hold them up. Instead each driver
// serves a channel of named objects on a thread of its own: a section holding
// one SimChannel, an order event that simctl sets, a done event the driver
// sets, and a mutex that lets one simctl at a time use the channel. The names
// are the prefix, the product name and the part ("...VeraCryptOrder").
#define SIM_CHANNEL_KERNEL_PREFIX L"\\BaseNamedObjects\\QuenbraxSim"
#define SIM_CHANNEL_USER_PREFIX   "Global\\QuenbraxSim"

// Mount-list reply sizes of the three driver layouts.
#define SIM_LIST_SIZE_TRUECRYPT   13940u
#define SIM_LIST_SIZE_VERACRYPT_OLD 15760u   // VeraCrypt up to 1.17
#define SIM_LIST_SIZE_VERACRYPT_NEW 17424u   // VeraCrypt 1.18 and later

// Dismount block, 16 bytes in and out.
typedef struct SimDismountBlock {
    int driveNumber;              // 0 = A ... 25 = Z
    unsigned int ignoreOpenFiles; // 1: open handles do not stop the dismount
    unsigned int hiddenVolumeProtectionTriggered;  // set on the dismount of an outer volume
                                  // whose hidden volume's protection refused a write
    int returnCode;               // 0 dismounted, 5 DRIVE_NOT_FOUND, 6 FILES_OPEN, ...
} SimDismountBlock;

enum SimVerb {
    SIM_VERB_MOUNT = 1,   // letter, flags, container, label, guid
    SIM_VERB_PLAN,        // letter, planCount, plan
    SIM_VERB_RELINK,      // letter -> letter2
    SIM_VERB_VANISH,      // letter
    SIM_VERB_STATUS,      // reply: volumes
    SIM_VERB_LOG,         // reply: log entries
    SIM_VERB_CLEAR_LOG,
    SIM_VERB_RESET,       // vanish every volume, drop plans, the log and a malform order,
                          // cancel held dismount requests
    SIM_VERB_MALFORM,     // flags: a SimMalform mode for the next mount-list reply
    SIM_VERB_RELEASE,     // letter, answer: answer the request of the drive kept inside the driver
    SIM_VERB_BUSY,        // ms: hold the driver-wide lock that long (a mount in progress)
    SIM_VERB_FORCE_TIME,  // letter, ms: a forced dismount with open handles takes that long
    SIM_VERB_ELEVATED     // flags 1: callers count as elevated, 0: as standard users
};

// How the next mount-list reply is spoilt (then the driver answers well again).
enum SimMalform {
    SIM_MALFORM_NONE = 0,
    SIM_MALFORM_EMPTY_PATHS,   // bits A to Z all set, every path entry empty
    SIM_MALFORM_UNTERMINATED,  // mounted paths padded with '~' to all 260 units, no
                               // terminator; entries of unmounted drives all '#'
    SIM_MALFORM_HIGH_BITS,     // bits 26 to 31 set besides the mounted drives
    SIM_MALFORM_SHORT          // success, but the reply ends halfway through the first
                               // mounted path: the byte count says so, the rest is zeros
};

#define SIM_FLAG_KEEP_LINK  1u   // dismount leaves the \DosDevices\X: link behind
#define SIM_FLAG_IF_MISSING 2u   // mount: a volume already at the letter is fine
#define SIM_FLAG_FOREIGN    4u   // mounted by another user: only elevated callers see it
#define SIM_FLAG_HIDVOL_TRIGGERED 8u  // its hidden volume's protection refused a write

#define SIM_PLAN_MAX 32
#define SIM_BUSY_MAX 3600000u      // ms
#define SIM_FORCE_TIME_MAX 20000u  // ms: the real driver gives up its dismount retries then

// One planned answer to a dismount request. The answer is worked out when it is
// given: 0 dismounts then (or gives 5 when nothing is mounted by then).
#define SIM_ANSWER_USUAL    0x7FFFFFFF   // what an unplanned request would get
#define SIM_ANSWER_CANCELED (-0x7FFFFFFF - 1)  // log: canceled, never answered
#define SIM_DELAY_HANG      0xFFFFFFFFu  // kept inside until simctl release (or a reset)
typedef struct SimPlanEntry {
    int answer;               // a result code or SIM_ANSWER_USUAL
    unsigned int delay;       // ms the request stays inside the driver before its answer,
                              // or SIM_DELAY_HANG
} SimPlanEntry;
#define SIM_PATH_MAX 260
#define SIM_LABEL_MAX 33
#define SIM_GUID_MAX 40
#define SIM_LOG_MAX 512

typedef struct SimRequest {
    unsigned int verb;
    unsigned int letter;      // 'A'..'Z'
    unsigned int letter2;     // relink target
    unsigned int flags;       // mount: SIM_FLAG_*; malform: a SimMalform mode
    unsigned int planCount;
    SimPlanEntry plan[SIM_PLAN_MAX];
    int answer;               // release: the answer to give, or SIM_ANSWER_USUAL
    unsigned int ms;          // busy, force-time
    unsigned short container[SIM_PATH_MAX];
    unsigned short label[SIM_LABEL_MAX];
    unsigned short guid[SIM_GUID_MAX];  // "{xxxxxxxx-...}" or empty
} SimRequest;

typedef struct SimVolumeInfo {
    unsigned int letter;      // the letter the volume was mounted with (its device name)
    unsigned int linkLetter;  // where its drive-letter link is now, 0 when none
    int handles;              // open handles on the volume device
    unsigned int flags;
    unsigned int planLeft;    // planned answers not yet given for this letter
    unsigned int held;        // 1 while a dismount request of this drive is kept inside
    unsigned int forceMs;     // force-time
    unsigned short container[SIM_PATH_MAX];
    unsigned short label[SIM_LABEL_MAX];
    unsigned short guid[SIM_GUID_MAX];
} SimVolumeInfo;

typedef struct SimLogEntry {
    long long time;           // system time of the answer, 100 ns units
    int driveNumber;
    unsigned int force;
    int answer;               // or SIM_ANSWER_CANCELED
    unsigned int held;        // 1: the request was kept inside; waited says for how long
    unsigned int waited;      // ms from the request to its answer or cancel
} SimLogEntry;

typedef struct SimReply {
    long long startTime;      // system time when the driver started, 100 ns units
    unsigned int listSize;    // the driver's mount-list layout size
    unsigned int count;       // volumes or log entries that follow
    unsigned int malform;     // the SimMalform mode waiting for the next mount list
    unsigned int elevated;    // callers count as elevated
    union {
        SimVolumeInfo volumes[26];
        SimLogEntry log[SIM_LOG_MAX];
    } u;
} SimReply;

// The channel's section: one order, then its outcome and reply in place.
typedef struct SimChannel {
    long status;              // NTSTATUS of the order
    unsigned int information; // bytes of reply
    union {
        SimRequest request;
        SimReply reply;
    } io;
} SimChannel;

#endif
