#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/handle.h"

// Owns one open key below HKEY_LOCAL_MACHINE, read-only, in the process's default registry
// view. Results are platform error codes: 0 success, 13 (ERROR_INVALID_DATA) for a value of
// the wrong type or shape, otherwise what the platform returned (2 missing, 234 too long).
// The vocabulary of platform/handle.h, with Close for Reset() (it returns the close result).
class RegistryKey {
 public:
  // Opens HKLM\subkey for KEY_READ. On failure the wrapper is unchanged; on success a key
  // held before is closed and its close result returned.
  LONG Open(const wchar_t* subkey);

  // Reads a REG_SZ or REG_EXPAND_SZ (unexpanded) value. `capacity` is in characters; on
  // success it holds the characters read, NUL included, and is 0 on any failure.
  LONG ReadString(const wchar_t* name, wchar_t* buffer, DWORD& capacity);

  // Reads a REG_DWORD value. The platform may have filled `value` even when 13 is returned.
  LONG ReadNumber(const wchar_t* name, DWORD& value);

  // Closes the held key; 0 when none is held.
  LONG Close();

  bool IsValid() const { return key_.IsValid(); }
  HKEY Get() const { return key_.Get(); }

 private:
  KeyHandle key_;
};

// The REG_DWORD value HKLM\subkey\name, or `fallback` when the key or value is missing.
DWORD ReadRegistryNumber(const wchar_t* subkey, const wchar_t* name, DWORD fallback);

// Values of any length, for data the program keeps itself below HKLM (the run's record). Each
// returns the platform's code; ERROR_INVALID_DATA for a value of another type.
LONG ReadStringValue(HKEY key, const wchar_t* name, std::wstring& text);
LONG ReadBinaryValue(HKEY key, const wchar_t* name, std::string& bytes);
// HKLM\subkey opened for writing in the default view, created with its parents when missing.
LONG CreateKeyForWriting(const std::wstring& subkey, KeyHandle& key);
LONG WriteStringValue(HKEY key, const wchar_t* name, const std::wstring& text);
LONG WriteNumberValue(HKEY key, const wchar_t* name, DWORD value);
LONG WriteBinaryValue(HKEY key, const wchar_t* name, const std::string& bytes);
