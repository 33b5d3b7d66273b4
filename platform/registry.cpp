#include "platform/registry.h"

#include <utility>

LONG RegistryKey::Open(const wchar_t* subkey, REGSAM access) {
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, access, &opened);
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

namespace {
// The value's bytes whatever their length; `type` must match.
LONG ReadValueBytes(HKEY key, const wchar_t* name, DWORD type, std::string& bytes) {
  DWORD found = 0, size = 0;
  LONG result = RegQueryValueExW(key, name, nullptr, &found, nullptr, &size);
  // The value may grow between the two calls: ask again with the new size.
  while (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
    if (found != type) return ERROR_INVALID_DATA;
    bytes.assign(size, '\0');
    result = RegQueryValueExW(key, name, nullptr, &found,
                              reinterpret_cast<BYTE*>(size == 0 ? nullptr : &bytes[0]), &size);
    if (result == ERROR_SUCCESS) {
      bytes.resize(size);
      return found == type ? ERROR_SUCCESS : ERROR_INVALID_DATA;
    }
  }
  return result;
}
}  // namespace

LONG RegistryKey::Create(const std::wstring& subkey, SECURITY_ATTRIBUTES* security) {
  KeyHandle created;
  const LONG result =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_READ | KEY_WRITE, security, created.Put(), nullptr);
  if (result != ERROR_SUCCESS) return result;
  key_ = std::move(created);
  return ERROR_SUCCESS;
}

LONG RegistryKey::ReadString(const wchar_t* name, std::wstring& text) const {
  std::string bytes;
  const LONG result = ReadValueBytes(key_.Get(), name, REG_SZ, bytes);
  if (result != ERROR_SUCCESS) return result;
  text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return ERROR_SUCCESS;
}

LONG RegistryKey::ReadBinary(const wchar_t* name, std::string& bytes) const {
  return ReadValueBytes(key_.Get(), name, REG_BINARY, bytes);
}

LONG RegistryKey::WriteString(const wchar_t* name, const std::wstring& text) const {
  return RegSetValueExW(key_.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

LONG RegistryKey::WriteNumber(const wchar_t* name, DWORD value) const {
  return RegSetValueExW(key_.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
}

LONG RegistryKey::WriteBinary(const wchar_t* name, const std::string& bytes) const {
  return RegSetValueExW(key_.Get(), name, 0, REG_BINARY,
                        reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

LONG RegistryKey::DeleteValue(const wchar_t* name) const {
  const LONG result = RegDeleteValueW(key_.Get(), name);
  return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

std::vector<std::wstring> RegistryKey::ListSubkeys() const {
  std::vector<std::wstring> names;
  // Key names have at most 255 characters.
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    if (RegEnumKeyExW(key_.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name, length);
  }
  return names;
}
