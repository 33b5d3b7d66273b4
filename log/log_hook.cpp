#include <shlwapi.h>

#include <new>
#include <vector>

#include "log/log_internal.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/trust.h"

namespace {
constexpr char kHookExport[] = "fnMossLogAssert";

// Raw and freed by hand, not held by an owning wrapper: two threads may load at once, and only
// an interlocked exchange on the bare handle lets exactly one of them keep its reference.
HMODULE volatile HookLibrary = nullptr;
MossLogAssertFunction HookFunction = nullptr;

// Hook calls held back on this thread (see AssertHookHold).
thread_local int HoldDepth = 0;
thread_local std::vector<std::wstring>* HeldMessages = nullptr;

// Dependencies come from System32 only: any user may add a DLL to the library's own folder.
// A system without that restricted search does not load the hook at all.
HMODULE LoadHookLibrary(const std::wstring& path) {
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}
}  // namespace

// The hook is documented as cdecl, but a library built with stdcall and exported undecorated
// pops its own arguments. Calling through a frame that restores the stack pointer afterwards
// makes both conventions safe.
#if defined(__GNUC__) && defined(__i386__)
// Naked, so that the compiler places it in its own section and frames it with unwind
// information, which the directives below keep true: a debugger, or an exception that a hook
// should never throw, can walk through it.
extern "C" __attribute__((naked)) void __cdecl CallHookKeepingStack(MossLogAssertFunction,
                                                                    const wchar_t*,
                                                                    const wchar_t*) {
  asm("pushl %ebp\n"
      ".cfi_def_cfa_offset 8\n"
      ".cfi_offset %ebp, -8\n"
      "movl %esp, %ebp\n"
      ".cfi_def_cfa_register %ebp\n"
      "pushl 16(%ebp)\n"
      "pushl 12(%ebp)\n"
      "call *8(%ebp)\n"
      "movl %ebp, %esp\n"
      "popl %ebp\n"
      ".cfi_def_cfa %esp, 4\n"
      "ret\n");
}
#elif defined(_MSC_VER) && defined(_M_IX86)
extern "C" __declspec(naked) void __cdecl CallHookKeepingStack(MossLogAssertFunction,
                                                               const wchar_t*, const wchar_t*) {
  __asm {
    push ebp
    mov ebp, esp
    push dword ptr [ebp + 16]
    push dword ptr [ebp + 12]
    call dword ptr [ebp + 8]
    mov esp, ebp
    pop ebp
    ret
  }
}
#else
// Other targets have one calling convention.
static void CallHookKeepingStack(MossLogAssertFunction hook, const wchar_t* message,
                                 const wchar_t* tag) {
  hook(message, tag);
}
#endif

std::wstring AssertTag() { return ProcessAndModuleTitle(); }

std::wstring GetAssertHookPath() {
  const std::wstring base = CommonAppDataFolder(false);
  return base.empty() ? std::wstring() : base + kHookFolderChain + L"\\" + kHookFileName;
}

// Any local user can create these folders before the product is installed; an elevated runner
// must load only a library that no ordinary user could have planted or changed.
HookCheck CheckAssertHook(const std::wstring& path) {
  HookCheck check;
  if (!PathFileExistsW(path.c_str())) return check;
  check.state = HookState::kRefused;
  const std::wstring base = CommonAppDataFolder(false);
  if (base.empty()) {
    check.refused = {TrustRefusal::kMissing, L""};
    return check;
  }
  check.refused = CheckFolderChain(base, kHookFolderChain);
  if (check.refused.refusal != TrustRefusal::kNone) return check;
  check.refused = {CheckPath(path, kTrustNoForeignWriters), path};
  if (check.refused.refusal != TrustRefusal::kNone) return check;
  check.state = HookState::kLoadable;
  check.refused.path.clear();
  return check;
}

void LoadAssertHook() {
  const std::wstring path = GetAssertHookPath();
  if (path.empty() || CheckAssertHook(path).state != HookState::kLoadable) return;
  HMODULE library = LoadHookLibrary(path);
  if (library == nullptr) return;
  HookFunction = FindExport<MossLogAssertFunction>(library, kHookExport);
  // Two threads may load at once; the exchange leaves one reference held, the other is freed.
  HMODULE previous = static_cast<HMODULE>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&HookLibrary), library));
  if (previous != nullptr) FreeLibrary(previous);
}

void CallAssertHook(const wchar_t* message) {
  if (message == nullptr) return;
  if (HoldDepth > 0) {
    try {
      if (HeldMessages == nullptr) HeldMessages = new std::vector<std::wstring>;
      HeldMessages->emplace_back(message);
    } catch (const std::bad_alloc&) {
      // The line is in the file; only the hook misses it.
    }
    return;
  }
  if (HookFunction == nullptr) LoadAssertHook();
  const MossLogAssertFunction hook = HookFunction;
  if (hook == nullptr) return;
  const std::wstring tag = AssertTag();
  CallHookKeepingStack(hook, message, tag.c_str());
}

AssertHookHold::AssertHookHold() { ++HoldDepth; }

AssertHookHold::~AssertHookHold() {
  if (--HoldDepth > 0 || HeldMessages == nullptr) return;
  std::vector<std::wstring>* const held = HeldMessages;
  HeldMessages = nullptr;
  try {
    for (const std::wstring& message : *held) CallAssertHook(message.c_str());
  } catch (...) {
    // A tag that cannot be built for want of memory: the remaining calls are dropped.
  }
  delete held;
}

void ReleaseAssertHook() {
  HMODULE library = static_cast<HMODULE>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&HookLibrary), nullptr));
  if (library == nullptr) return;
  HookFunction = nullptr;
  FreeLibrary(library);
}
