#include "platform/registry.h"

LONG RegistryKey::Open(const wchar_t* subkey) {
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &opened);
  if (result != ERROR_SUCCESS) return result;
  result = Close();
  key_.Reset(opened);
  return result;
}

LONG RegistryKey::ReadString(const wchar_t* name, wchar_t* buffer, DWORD& capacity) {
  DWORD bytes = capacity * sizeof(wchar_t);
  capacity = 0;
  DWORD type = 0;
  LONG result =
      RegQueryValueExW(key_.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  if (buffer != nullptr) {
    if (bytes == 0) {
      buffer[0] = L'\0';
    } else if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0') {
      return ERROR_INVALID_DATA;
    }
  }
  capacity = bytes / sizeof(wchar_t);
  return ERROR_SUCCESS;
}

LONG RegistryKey::ReadNumber(const wchar_t* name, DWORD& value) {
  DWORD bytes = sizeof(value);
  DWORD type = 0;
  LONG result =
      RegQueryValueExW(key_.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes);
  if (result != ERROR_SUCCESS) return result;
  return type == REG_DWORD ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG RegistryKey::Close() {
  if (!key_.IsValid()) return ERROR_SUCCESS;
  return RegCloseKey(key_.Release());
}

DWORD ReadRegistryNumber(const wchar_t* subkey, const wchar_t* name, DWORD fallback) {
  DWORD value = fallback;
  RegistryKey key;
  if (key.Open(subkey) == ERROR_SUCCESS) key.ReadNumber(name, value);
  key.Close();
  return value;
}
