// Shared machinery of the host platform's own files: the verifier's report, fault
// injection, the object table, the handle table, and the scheduler hooks that the I/O
// manager and the executive call. Not for the driver, the simulation or tests.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "../control.h"
#include "../verifier_rules.h"

namespace host::detail {

// ---- Verifier ----
namespace rules = ::host::verifier::rules;
// Reports a violated rule, one of rules::k... In the default mode it prints the rule, the
// detail and the thread report and aborts; in recording mode it records and returns (the
// caller then returns from the offending operation without effect).
void Violate(const std::string& rule, const std::string& detail);
std::string Hex(uint64_t value);
std::string PointerText(const void* p);

// ---- Fault injection ----
bool ShouldFail(faults::Op op);
bool ShouldFailPool(ULONG tag);  // counts the Op::Pool plan and the tag's
bool ForcedPending(PDEVICE_OBJECT device);

// ---- Scheduler ----
// One lock guards every dispatcher object and the virtual clock.
std::mutex& KernelLock();
// Records forward progress for the watchdog.
void Progress();
// Wakes WaitUntil() waiters so they re-test their predicates; call after a state change
// that a host-side predicate may observe (for instance a request completed).
void NotifyStateChange();
void NotifyStateChangeLocked();  // the same, with KernelLock() held
// The calling thread's IRQL (every thread starts at PASSIVE_LEVEL).
KIRQL& CurrentIrql();
// A number that names the calling thread (never 0), for spin-lock ownership.
uintptr_t ThreadToken();
std::string CurrentThreadName();
// Is the calling thread a system thread created with PsCreateSystemThread?
bool InSystemThread();

// ---- Objects ----
// Reference-counted kernel objects: devices, threads, file objects. Register with one
// reference; the destroy function runs when the count reaches 0.
enum class ObjectKind { Device, Thread, File, Driver, Other };
void RegisterObject(const void* object, ObjectKind kind, std::function<void()> destroy);
bool IsObject(const void* object, ObjectKind* kind = nullptr);
LONG_PTR ReferenceObject(const void* object);
LONG_PTR DereferenceObject(const void* object);

// ---- Handles ----
enum class HandleKind { Key, Thread };
// close runs when the handle is closed (ZwClose) or when the session ends.
HANDLE InsertHandle(HandleKind kind, void* object, std::function<void()> close,
                    ACCESS_MASK access = 0);
bool LookupHandle(HANDLE h, HandleKind* kind, void** object, ACCESS_MASK* access = nullptr);
NTSTATUS CloseHandle(HANDLE h);
size_t OpenHandles(std::string* report);

// ---- Registry ----
// Opens (or with create, creates) the key at an absolute path such as
// \Registry\Machine\... . No IRQL check and no fault injection: the calling routine
// applies its own.
NTSTATUS OpenKeyByPath(const std::u16string& path, ACCESS_MASK access, bool create, PHANDLE handle);

// ---- Power manager ----
// IofCallDriver's check that power requests go down through PoCallDriver; false when the
// call must not go on (the violation is reported). forcePending says the power manager sends
// a request its sender already saw pending: the call then counts as force pending.
bool PowerCallAllowed(PDEVICE_OBJECT device, PIRP irp, bool* forcePending);

// ---- Session hooks ----
// Each part of the platform resets its state at a session's start and reports what is
// left at its end ("" when nothing).
struct Module {
    const char* name;
    void (*reset)();
    std::string (*leaks)();
};
void RegisterModule(const Module* module);
#define HOST_MODULE(var, name, reset, leaks)                                  \
    static const ::host::detail::Module var{name, reset, leaks};              \
    static const bool var##_registered = (::host::detail::RegisterModule(&var), true)

// Strings
std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);
std::u16string FromCounted(PCUNICODE_STRING s);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

}  // namespace host::detail
