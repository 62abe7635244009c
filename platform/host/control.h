// What tests, the simulation and the simulator program use to drive the host platform:
// sessions with leak checks, the virtual clock, platform threads, the verifier, fault
// injection, pool and registry inspection, captured debug output, and the I/O manager's
// own requests. The driver never includes this header.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "nt_io.h"

namespace host {

// ---- Session -------------------------------------------------------------------------------
// One per test (or simulator run). Registers the calling thread as a platform thread, resets
// the platform's state, and on Finish() reports every leak: pool by tag and size, requests,
// device and driver objects, open handles, threads still running.
class Session {
public:
    explicit Session(const char* threadName = "test");
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // Waits for ended threads, then returns the leak report ("" when nothing is left).
    std::string Finish();
};

// ---- Virtual clock -------------------------------------------------------------------------
// Time in 100 ns units since the session began. In virtual mode it jumps to the earliest
// deadline whenever every platform thread is blocked; in real-time mode it follows the wall
// clock.
int64_t Now();
void SetRealTime(bool realTime);  // before any thread is started
bool RealTime();
// A virtual time (100 ns units, 0 = none) the run must end before: a clock that would jump
// past it is a "time limit" violation with every thread's wait, so a driver loop that polls
// for ever fails fast instead of spinning the clock. Cleared with the session.
void SetTimeLimit(int64_t at100ns);
// Seconds of wall time without progress after which the watchdog ends the run with a report.
void SetWatchdogSeconds(unsigned seconds);
// A readable report of every platform thread: its state, what it waits on, its deadline.
std::string ThreadReport();
// Gives a dispatcher object (event, semaphore) a name for the reports.
void NameObject(const void* object, const char* name);

// ---- Platform threads ----------------------------------------------------------------------
// A thread that the virtual clock counts, for tests and the simulation. It counts as running
// from construction; Join() waits for it without holding the clock back.
class Thread {
public:
    Thread(const char* name, std::function<void()> body);
    ~Thread();  // joins
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    void Join();

private:
    struct State;
    State* state_;
};

// Waits (as a platform wait, so virtual time may advance) until pred() holds, checking it
// each time another platform thread changes a dispatcher object or the clock moves.
// Returns false when the deadline (relative, 100 ns units; 0 = none) passes first.
bool WaitUntil(const std::function<bool()>& pred, int64_t timeout100ns = 0,
               const char* what = "condition");
// Lets virtual time run for the given span (a platform delay of the calling thread).
void Advance(int64_t span100ns);
inline constexpr int64_t Ms(int64_t ms) { return ms * 10000; }

// ---- Verifier ------------------------------------------------------------------------------
// By default a violated rule ends the run at once with the rule, the details and the thread
// report (the host's bug check). In recording mode the rule is recorded and the offending
// operation returns without effect, so tests can show that each rule fires.
namespace verifier {
struct Violation {
    std::string rule;
    std::string detail;
};
void Record(bool recording);
std::vector<Violation> Take();
bool Fired(const std::string& rule);  // takes the recorded violations
// Reports a rule that a part outside the platform checks (the PnP manager's), in the same way.
void Report(const std::string& rule, const std::string& detail);
}  // namespace verifier

// ---- Fault injection -----------------------------------------------------------------------
namespace faults {
// PowerIrp: PoRequestPowerIrp (which an Irp plan fails too, as it allocates one).
enum class Op { Pool, Irp, Device, Interface, Thread, OpenKey, Attach, PowerIrp, Count };
// The call numbers count from 1 at the moment the plan is set.
void Plan(Op op, std::function<bool(uint64_t call)> fail);
inline void FailNth(Op op, uint64_t n) { Plan(op, [n](uint64_t c) { return c == n; }); }
inline void FailAll(Op op) { Plan(op, [](uint64_t) { return true; }); }
inline void FailAfter(Op op, uint64_t ok) { Plan(op, [ok](uint64_t c) { return c > ok; }); }
// Pool allocations of one tag, counted per tag from the moment the plan is set (an Op::Pool
// plan counts every tag together).
void PlanPool(ULONG tag, std::function<bool(uint64_t call)> fail);
// Calls made since the last Clear (or the op's or tag's last plan), planned or not.
uint64_t Calls(Op op);
struct TagCalls {
    ULONG tag;
    uint64_t calls;
};
std::vector<TagCalls> PoolCalls();  // by tag, in the order the tags were first seen
void Clear();
// While one lives, the calling thread's calls are neither counted nor failed: the
// simulation's own allocations, devices and threads are not the driver's to lose.
class Exempt {
public:
    Exempt();
    ~Exempt();
    Exempt(const Exempt&) = delete;
    Exempt& operator=(const Exempt&) = delete;
};
// The verifier's "force pending": calls to this device return STATUS_PENDING even when it
// completes at once; the caller's completion routine then runs later from another thread.
void ForcePending(PDEVICE_OBJECT device, bool on);
}  // namespace faults

// ---- Pool ----------------------------------------------------------------------------------
namespace pool {
struct Block {
    const void* address;
    POOL_TYPE type;
    ULONG tag;
    size_t size;
};
std::vector<Block> Outstanding();
std::string TagText(ULONG tag);  // 'Wdm ' -> "Wdm "
// Blocks allocated since the session began, freed or not (to show that a path allocates none).
uint64_t Allocations();
// The verifier's special pool: each block ends against an inaccessible page (an overrun
// faults at once), the bytes around it are checked at free (an underrun is reported), and a
// freed block stays inaccessible for the next kSpecialPoolDelay frees (a use after free
// faults). Images: only allocations made by a loaded native image (the default); All: every
// allocation.
enum class Special { Off, Images, All };
void SetSpecial(Special mode);
constexpr size_t kSpecialPoolDelay = 256;
// Blocks placed in the special pool since the session began.
size_t SpecialBlocksMade();
}  // namespace pool

// ---- Registry ------------------------------------------------------------------------------
namespace registry {
struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};
// Paths are absolute object names, e.g. "\\Registry\\Machine\\System\\...". Keys are created
// as needed; names compare without case.
void CreateKey(const std::u16string& path);
void DeleteKey(const std::u16string& path);
bool KeyExists(const std::u16string& path);
void SetValue(const std::u16string& path, const std::u16string& name, ULONG type,
              std::vector<uint8_t> data);
void SetDword(const std::u16string& path, const std::u16string& name, uint32_t value);
void SetString(const std::u16string& path, const std::u16string& name, const std::u16string& s);
bool GetValue(const std::u16string& path, const std::u16string& name, Value* out);
bool GetDword(const std::u16string& path, const std::u16string& name, uint32_t* out);
}  // namespace registry

// ---- Debug output --------------------------------------------------------------------------
namespace debug {
std::vector<std::string> Output();  // every DbgPrint since the session began
void Clear();
void Echo(bool on);  // also write DbgPrint to standard error
}  // namespace debug

// ---- I/O manager ---------------------------------------------------------------------------
namespace io {
// Creates a driver object and runs its entry routine at PASSIVE_LEVEL, as the I/O manager
// does when it loads a driver. Every dispatch slot starts as "invalid device request".
PDRIVER_OBJECT LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry,
                          const std::u16string& registryPath, NTSTATUS* status = nullptr);
// Runs the unload routine and frees the driver object; every device must be gone.
void UnloadDriver(PDRIVER_OBJECT driver);

// A request the I/O manager (or the PnP or power manager) owns: when completion passes its
// last stack location the platform calls done (if any) and frees it.
PIRP NewRequest(CCHAR stackSize, std::function<void(PIRP)> done = nullptr);
// Sends a request the I/O manager owns to the top of the device's stack and waits for its
// completion; returns its final status and information.
struct Result {
    NTSTATUS status;
    ULONG_PTR information;
};
Result SendAndWait(PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup);

// Device-object facts the platform keeps for the PnP manager and the bus.
void SetInstancePath(PDEVICE_OBJECT pdo, const std::u16string& instancePath);
void SetDriverKey(PDEVICE_OBJECT pdo, const std::u16string& registryPath);
// Interface links registered so far: link name, its device, and whether it is enabled.
struct InterfaceLink {
    std::u16string link;
    PDEVICE_OBJECT pdo;
    GUID guid;
    bool enabled;
};
std::vector<InterfaceLink> Interfaces();
// Makes the next registered link names of the given length in UTF-16 code units (to test
// callers that store them); 0 restores real names.
void SetLinkNameLength(size_t codeUnits);
// Live requests, for tests that look at what is outstanding.
size_t LiveRequests();
// Requests allocated or built since the session began (to show that a path makes none).
uint64_t RequestsMade();
// A watcher of every request sent to a device (completion false) and of every stack location
// a request completes (completion true, with the status it completed with), for tracing.
// Set it before the threads that send requests start and clear it after they end.
struct TraceEvent {
    bool completion;
    PDEVICE_OBJECT device;
    UCHAR major;
    UCHAR minor;
    ULONG ioctl;        // device controls
    bool urb;            // IOCTL_INTERNAL_USB_SUBMIT_URB, with its function
    USHORT urbFunction;
    NTSTATUS status;     // completions
};
void SetTracer(std::function<void(const TraceEvent&)> tracer);
// Whether IoDeleteDevice was called on the device (which the caller keeps referenced).
bool DeviceDeleted(PDEVICE_OBJECT device);
}  // namespace io

// ---- Files ---------------------------------------------------------------------------------
// What an application's handle on a device does: the I/O manager's file side. A path is an
// enabled device-interface link (\??\... or \\?\..., its device the interface's PDO) or a
// device name (\Device\...); requests go to the top of that device's stack. Buffering follows
// the device's flags (DO_DIRECT_IO has no MDLs here and is buffered like DO_BUFFERED_IO) and
// the control code's method; for user-mode requests a bad buffer address fails the request with
// STATUS_ACCESS_VIOLATION before any driver sees it. Closing a handle cancels nothing: the end
// of the platform thread that issued a request cancels it, as on Windows. Files left open,
// and file objects kept by requests pending after their close, are reported at session end.
namespace files {
struct File;
using Token = uint64_t;  // an asynchronous request, until Wait takes its result
// Creates a file object and sends IRP_MJ_CREATE; on failure returns null and the status.
File* Open(const std::u16string& path, KPROCESSOR_MODE mode = UserMode, NTSTATUS* status = nullptr);
// IRP_MJ_CLEANUP; IRP_MJ_CLOSE follows once the last reference to the file object goes,
// which a request still pending through it keeps until it completes and its issuer has
// its result (Wait, or the synchronous call's return).
NTSTATUS Close(File* file);
PFILE_OBJECT FileObject(File* file);
// File objects that still stand on a device of the stack above pdo (from create to the end of
// close), as the PnP manager counts them before it removes a surprise-removed stack. A file
// object's end wakes WaitUntil() waiters.
size_t OpenOnStack(PDEVICE_OBJECT pdo);

NTSTATUS Read(File* file, void* buffer, ULONG length, ULONG_PTR* transferred = nullptr);
NTSTATUS Write(File* file, const void* buffer, ULONG length, ULONG_PTR* transferred = nullptr);
NTSTATUS DeviceIoControl(File* file, ULONG code, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength, ULONG_PTR* information = nullptr);
Token ReadAsync(File* file, void* buffer, ULONG length);
Token WriteAsync(File* file, const void* buffer, ULONG length);
Token DeviceIoControlAsync(File* file, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength);
// Waits for the request (a platform wait) and returns its status and information.
io::Result Wait(Token token);
// IoCancelIrp on the request; false when it had completed or had no cancel routine.
bool Cancel(Token token);
// Has the request completed? (Its result stays for Wait.) False for an unknown token.
bool Done(Token token);
}  // namespace files

// ---- Power manager -------------------------------------------------------------------------
namespace power {
// What drivers last recorded with PoSetPowerState (Unspecified before the first call).
DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE SystemState(PDEVICE_OBJECT device);
// A system power transition as the power manager makes it. Each stack is named by any of its
// devices; the requests go to its top from a power-manager thread while the caller waits (a
// platform wait). For a sleep state every stack is queried, from the end of the list back
// (children listed after their parents hear first), then set in the same order; the first
// refusal sends the current state's set-power to every stack queried so far and is returned.
// A return to PowerSystemWorking is only set, from the start of the list.
NTSTATUS SetSystemState(SYSTEM_POWER_STATE state, const std::vector<PDEVICE_OBJECT>& stacks);
// The same for every stack present: its bottom devices in creation order.
NTSTATUS SetSystemState(SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE CurrentSystemState();  // PowerSystemWorking at a session's start
}  // namespace power

}  // namespace host
