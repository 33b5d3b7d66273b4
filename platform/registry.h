#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/handle.h"

#include <vector>

// Owns one open key below HKEY_LOCAL_MACHINE in the process's default registry view: read-only
// as Open makes it, for writing as Create makes it (data the program keeps itself, the run's
// record). Results are platform error codes: 0 success, 13 (ERROR_INVALID_DATA) for a value of
// the wrong type or shape, otherwise what the platform returned (2 missing, 234 too long).
// The vocabulary of platform/handle.h, with Close for Reset() (it returns the close result).
class RegistryKey {
 public:
  // Opens HKLM\subkey for `access`. On failure the wrapper is unchanged; on success a key
  // held before is closed and its close result returned.
  LONG Open(const wchar_t* subkey, REGSAM access = KEY_READ);

  // Opens HKLM\subkey for reading and writing, created with its parents when missing (with
  // `security` for the keys it creates, when given). On failure the wrapper is unchanged.
  LONG Create(const std::wstring& subkey, SECURITY_ATTRIBUTES* security = nullptr);

  // Reads a REG_SZ or REG_EXPAND_SZ (unexpanded) value. `capacity` is in characters; on
  // success it holds the characters read, NUL included, and is 0 on any failure.
  LONG ReadString(const wchar_t* name, wchar_t* buffer, DWORD& capacity);

  // Reads a REG_DWORD value. The platform may have filled `value` even when 13 is returned.
  LONG ReadNumber(const wchar_t* name, DWORD& value);

  // Values of any length; ERROR_INVALID_DATA for a value of another type. A string loses the
  // NULs it ends in.
  LONG ReadString(const wchar_t* name, std::wstring& text) const;
  LONG ReadBinary(const wchar_t* name, std::string& bytes) const;

  LONG WriteString(const wchar_t* name, const std::wstring& text) const;
  LONG WriteNumber(const wchar_t* name, DWORD value) const;
  LONG WriteBinary(const wchar_t* name, const std::string& bytes) const;
  // 0 also when there was no such value.
  LONG DeleteValue(const wchar_t* name) const;

  // The names of the key's subkeys; empty when none can be listed.
  std::vector<std::wstring> ListSubkeys() const;

  // Closes the held key; 0 when none is held.
  LONG Close();

  bool IsValid() const { return key_.IsValid(); }
  HKEY Get() const { return key_.Get(); }

 private:
  KeyHandle key_;
};

// The REG_DWORD value HKLM\subkey\name, or `fallback` when the key or value is missing.
DWORD ReadRegistryNumber(const wchar_t* subkey, const wchar_t* name, DWORD fallback);
