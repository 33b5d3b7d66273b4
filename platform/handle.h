#pragma once

#include <windows.h>

#include <utility>

// One owning wrapper per handle kind, all with the same vocabulary: IsValid, Get, Release
// (hands the handle over, closing nothing), Reset (closes what it held, then holds the given
// one), Put (closes what it held and gives the slot to a call that fills in a new handle). No
// copy, no implicit conversion to the raw handle. Closing keeps the thread's last error, so
// that a caller may read it after a wrapper has gone out of scope.
template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  bool IsValid() const { return Traits::IsValid(handle_); }
  Handle Get() const { return handle_; }
  [[nodiscard]] Handle Release() { return std::exchange(handle_, Traits::kNone); }
  void Reset(Handle handle = Traits::kNone) {
    if (IsValid()) {
      const DWORD error = GetLastError();
      Traits::Close(handle_);
      SetLastError(error);
    }
    handle_ = handle;
  }
  // For an out-parameter: OpenProcessToken(process, access, token.Put()). A call that fails
  // leaves "none" or what the platform wrote there, which IsValid tells apart.
  [[nodiscard]] Handle* Put() {
    Reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::kNone;
};

// Traits of a handle kind whose "none" is one value (null, or 0 for the CryptoAPI's numbers).
template <typename H, H kNoneValue, auto CloseFunction>
struct NoneIs {
  using Handle = H;
  static constexpr Handle kNone = kNoneValue;
  static bool IsValid(Handle handle) { return handle != kNoneValue; }
  static void Close(Handle handle) { CloseFunction(handle); }
};
template <typename H, auto CloseFunction>
using NullIsNone = NoneIs<H, nullptr, CloseFunction>;
// Traits of a handle kind that the platform reports as failed with either the null handle or
// INVALID_HANDLE_VALUE, depending on the call: both count as none.
template <auto CloseFunction>
struct NullOrInvalidIsNone : NullIsNone<HANDLE, CloseFunction> {
  static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
};

// Processes, threads, snapshots, tokens, files.
using KernelHandle = UniqueHandle<NullOrInvalidIsNone<&CloseHandle>>;
// A FindFirstFileW search.
using FindHandle = UniqueHandle<NullOrInvalidIsNone<&FindClose>>;
// Memory the platform allocated for the caller with LocalAlloc (SIDs and descriptors converted
// from text, security information, argument vectors).
using LocalMemory = UniqueHandle<NullIsNone<HLOCAL, &LocalFree>>;
// An open registry key.
using KeyHandle = UniqueHandle<NullIsNone<HKEY, &RegCloseKey>>;
// A library loaded at run time.
using LibraryHandle = UniqueHandle<NullIsNone<HMODULE, &FreeLibrary>>;
// A boundary descriptor, and a private object namespace made or opened with one. Closing a
// namespace handle leaves the namespace to whoever else holds it open.
using BoundaryHandle = UniqueHandle<NullIsNone<HANDLE, &DeleteBoundaryDescriptor>>;
inline void CloseNamespaceHandle(HANDLE handle) { ClosePrivateNamespace(handle, 0); }
using NamespaceHandle = UniqueHandle<NullIsNone<HANDLE, &CloseNamespaceHandle>>;

// An export of a loaded library as the function type it has; null when it is missing.
template <typename Function>
Function FindExport(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// PROCESS_INFORMATION's two handles, owned from the moment CreateProcess filled them in.
struct ProcessHandles {
  explicit ProcessHandles(const PROCESS_INFORMATION& info)
      : process(info.hProcess), thread(info.hThread), id(info.dwProcessId) {}
  KernelHandle process;
  KernelHandle thread;
  DWORD id;
};
