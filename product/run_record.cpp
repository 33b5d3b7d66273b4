#include "product/run_record.h"

#include <cstring>
#include <cwchar>

#include "platform/file.h"
#include "platform/file_identity.h"
#include "platform/handle.h"
#include "platform/registry.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "product/record_key.h"

namespace {
constexpr size_t kEntryBytes = 34;
constexpr size_t kInstalledBytes = 32;

constexpr wchar_t kPackageDirValue[] = L"PackageDir";
constexpr wchar_t kInstallDirRecorded[] = L"InstallDir";
constexpr wchar_t kStateValue[] = L"State";
constexpr wchar_t kStartedValue[] = L"Started";
constexpr wchar_t kEndedValue[] = L"Ended";
constexpr wchar_t kUndoneValue[] = L"Undone";
constexpr wchar_t kFailedEntryValue[] = L"FailedEntry";
constexpr wchar_t kEntriesValue[] = L"Entries";
constexpr wchar_t kReachedValue[] = L"Reached";
constexpr wchar_t kStoppedValue[] = L"Stopped";

constexpr RecordState kStates[] = {RecordState::kApplying, RecordState::kApplied,
                                   RecordState::kFailed, RecordState::kUndone,
                                   RecordState::kSkipped, RecordState::kPartlyUndone};

std::wstring RecordKey(const std::string& packageId) {
  return std::wstring(kRecordsKey) + L"\\" + WidenUtf8(packageId);
}

// Appends `value` at `at` in `out`; `at` moves past it.
template <typename T>
void PutBytes(std::array<char, 32>& out, size_t& at, const T& value) {
  std::memcpy(out.data() + at, &value, sizeof(value));
  at += sizeof(value);
}
}  // namespace

bool Installs(RecordedAction action) {
  return action == RecordedAction::kMovedThenCopied || action == RecordedAction::kCopied;
}

bool Changes(RecordedAction action) {
  return Installs(action) || action == RecordedAction::kRemoved ||
         action == RecordedAction::kFolderMade;
}

const char* RecordedActionName(RecordedAction action) {
  switch (action) {
    case RecordedAction::kRemoved:
      return "removed";
    case RecordedAction::kFolderMade:
      return "folder-made";
    case RecordedAction::kSkippedNothingToRemove:
      return "skipped-missing";
    case RecordedAction::kSkippedFolderExists:
      return "skipped-folder-exists";
    case RecordedAction::kPlannedRemove:
      return "planned-remove";
    case RecordedAction::kPlannedFolder:
      return "planned-folder";
    case RecordedAction::kMovedThenCopied:
      return "moved-then-copied";
    case RecordedAction::kCopied:
      return "copied";
    case RecordedAction::kSkippedBackupExists:
      return "skipped-backup-exists";
    case RecordedAction::kSkippedMissingFile:
      return "skipped-missing-file";
    case RecordedAction::kNotReached:
      return "not-reached";
    case RecordedAction::kFailed:
      return "failed";
    case RecordedAction::kTakenBack:
      return "taken-back";
    case RecordedAction::kPlannedMoveThenCopy:
      return "planned-move-then-copy";
    case RecordedAction::kPlannedCopy:
      return "planned-copy";
    case RecordedAction::kSkippedInstalled:
      return "skipped-installed";
    case RecordedAction::kNone:
      break;
  }
  return "none";
}

const wchar_t* RecordStateName(RecordState state) {
  switch (state) {
    case RecordState::kApplying:
      return L"applying";
    case RecordState::kApplied:
      return L"applied";
    case RecordState::kFailed:
      return L"failed";
    case RecordState::kSkipped:
      return L"skipped";
    case RecordState::kPartlyUndone:
      return L"partly-undone";
    case RecordState::kUndone:
      break;
  }
  return L"undone";
}

InstalledFile IdentityOf(HANDLE file) {
  // The small queries, not GetFileInformationByHandle, which also reads the volume and costs far
  // more on some systems; the destination's path names the volume anyway.
  InstalledFile identity;
  uint64_t index = 0;
  FILE_STANDARD_INFO standard = {};
  FILE_BASIC_INFO basic = {};
  if (!ReadFileIndex(file, index) ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic))) {
    return identity;
  }
  identity.kind = InstalledFile::Kind::kIdentity;
  size_t at = 0;
  PutBytes(identity.bytes, at, index);
  PutBytes(identity.bytes, at, standard.EndOfFile.QuadPart);
  PutBytes(identity.bytes, at, basic.LastWriteTime.QuadPart);
  return identity;
}

InstalledFile Sha256Of(const std::string& hex) {
  InstalledFile hash;
  const std::string bytes = BytesOfHex(hex);
  if (bytes.size() != kInstalledBytes) return hash;
  std::memcpy(hash.bytes.data(), bytes.data(), kInstalledBytes);
  hash.kind = InstalledFile::Kind::kSha256;
  return hash;
}

bool HoldsInstalledFile(const std::wstring& path, const InstalledFile& installed) {
  if (installed.kind == InstalledFile::Kind::kSha256) {
    std::string hex;
    DWORD error = 0;
    return HashFileSha256(path, hex, error) && Sha256Of(hex).bytes == installed.bytes;
  }
  if (installed.kind != InstalledFile::Kind::kIdentity) return false;
  const KernelHandle file = OpenFile(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING);
  return file.IsValid() && IdentityOf(file.Get()).bytes == installed.bytes;
}

std::string EncodeEntries(const std::vector<RecordedEntry>& entries) {
  std::string bytes;
  bytes.reserve(entries.size() * kEntryBytes);
  for (const RecordedEntry& entry : entries) {
    bytes.push_back(static_cast<char>(entry.action));
    bytes.push_back(static_cast<char>(entry.installed.kind));
    bytes.append(entry.installed.bytes.data(), kInstalledBytes);
  }
  return bytes;
}

bool DecodeEntries(const std::string& bytes, std::vector<RecordedEntry>& entries) {
  if (bytes.size() % kEntryBytes != 0) return false;
  std::vector<RecordedEntry> decoded(bytes.size() / kEntryBytes);
  for (size_t i = 0; i < decoded.size(); ++i) {
    const unsigned char action = static_cast<unsigned char>(bytes[i * kEntryBytes]);
    const unsigned char kind = static_cast<unsigned char>(bytes[i * kEntryBytes + 1]);
    if (action > static_cast<unsigned char>(RecordedAction::kPlannedFolder) ||
        kind > static_cast<unsigned char>(InstalledFile::Kind::kIdentity)) {
      return false;
    }
    decoded[i].action = static_cast<RecordedAction>(action);
    decoded[i].installed.kind = static_cast<InstalledFile::Kind>(kind);
    if (decoded[i].installed.kind != InstalledFile::Kind::kNone)
      std::memcpy(decoded[i].installed.bytes.data(), &bytes[i * kEntryBytes + 2], kInstalledBytes);
  }
  entries.swap(decoded);
  return true;
}

bool AddedByEarlierRun(const RecordedEntry& earlier, const std::wstring& destination,
                       bool destinationIsFile, bool backupPresent) {
  return earlier.action == RecordedAction::kCopied && destinationIsFile && !backupPresent &&
         earlier.installed.kind == InstalledFile::Kind::kSha256 &&
         HoldsInstalledFile(destination, earlier.installed);
}

std::vector<RecordedEntry> EntriesAsReached(std::vector<RecordedEntry> entries, DWORD reached) {
  for (size_t i = 0; i < entries.size(); ++i) {
    RecordedAction& action = entries[i].action;
    RecordedAction came = RecordedAction::kNone;
    switch (action) {
      case RecordedAction::kPlannedCopy:
        came = RecordedAction::kCopied;
        break;
      case RecordedAction::kPlannedMoveThenCopy:
        came = RecordedAction::kMovedThenCopied;
        break;
      case RecordedAction::kPlannedRemove:
        came = RecordedAction::kRemoved;
        break;
      case RecordedAction::kPlannedFolder:
        came = RecordedAction::kFolderMade;
        break;
      default:
        continue;
    }
    if (i >= reached) {
      entries[i] = {RecordedAction::kNotReached, InstalledFile()};
    } else {
      action = came;
    }
  }
  return entries;
}

std::vector<RecordedEntry> MergeEntries(const std::vector<RecordedEntry>& earlier,
                                        const std::vector<RecordedEntry>& now) {
  std::vector<RecordedEntry> merged = now;
  if (earlier.size() != now.size()) return merged;
  for (size_t i = 0; i < merged.size(); ++i) {
    const RecordedEntry& before = earlier[i];
    RecordedEntry& entry = merged[i];
    if (!Changes(before.action)) continue;
    if (!Installs(before.action)) {
      // What it moved aside or made stays so unless this run changes that entry itself.
      if (!Changes(entry.action) && entry.action != RecordedAction::kPlannedRemove &&
          entry.action != RecordedAction::kPlannedFolder)
        entry = before;
      continue;
    }
    if (entry.action == RecordedAction::kPlannedCopy) {
      entry.action = before.action;  // its place is empty: true before the copy and after it
    } else if (entry.action == RecordedAction::kPlannedMoveThenCopy) {
      continue;  // the earlier run's file is gone from there, or the plan would have kept it
    } else if (!Installs(entry.action)) {
      entry = before;  // this run did nothing to it: the earlier run's account stands
    } else if (entry.action == RecordedAction::kCopied &&
               before.action == RecordedAction::kMovedThenCopied) {
      entry.action = RecordedAction::kMovedThenCopied;  // its backup holds the original
    }
  }
  return merged;
}

RunRecord RecordAfterUndo(RunRecord record, const std::vector<bool>& takenBack,
                          const std::wstring& now) {
  bool installedLeft = false;
  bool anyTaken = false;
  for (size_t i = 0; i < record.entries.size(); ++i) {
    RecordedEntry& entry = record.entries[i];
    if (i < takenBack.size() && takenBack[i]) {
      anyTaken = anyTaken || entry.action != RecordedAction::kTakenBack;
      entry = {RecordedAction::kTakenBack, InstalledFile()};
    }
    installedLeft = installedLeft || Changes(entry.action);
  }
  if (!installedLeft) {
    record.state = RecordState::kUndone;
    record.undone = now;
  } else if (anyTaken) {
    record.state = RecordState::kPartlyUndone;
    record.undone = now;
  }
  return record;
}

std::wstring RecordTimeNow() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  wchar_t text[32];
  swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
           now.wMinute, now.wSecond);
  return text;
}

RecordRead ReadRunRecord(const std::string& packageId, RunRecord& record) {
  RegistryKey key;
  const LONG opened = key.Open(RecordKey(packageId).c_str());
  if (opened == ERROR_FILE_NOT_FOUND) return RecordRead::kMissing;
  if (opened != ERROR_SUCCESS) return RecordRead::kUnreadable;
  RunRecord read;
  std::wstring state;
  std::string entries;
  if (key.ReadString(kPackageDirValue, read.packageDir) != ERROR_SUCCESS ||
      key.ReadString(kInstallDirRecorded, read.installDir) != ERROR_SUCCESS ||
      key.ReadString(kStateValue, state) != ERROR_SUCCESS ||
      key.ReadString(kStartedValue, read.started) != ERROR_SUCCESS ||
      key.ReadBinary(kEntriesValue, entries) != ERROR_SUCCESS ||
      !DecodeEntries(entries, read.entries)) {
    return RecordRead::kUnreadable;
  }
  bool known = false;
  for (const RecordState candidate : kStates) {
    if (state == RecordStateName(candidate)) {
      read.state = candidate;
      known = true;
    }
  }
  if (!known) return RecordRead::kUnreadable;
  // Written only once their moment has come.
  key.ReadString(kEndedValue, read.ended);
  key.ReadString(kUndoneValue, read.undone);
  key.ReadNumber(kFailedEntryValue, read.failedEntry);
  key.ReadNumber(kReachedValue, read.reached);
  std::wstring stopped;
  if (key.ReadString(kStoppedValue, stopped) == ERROR_SUCCESS) ParseStoppedText(stopped, read.stopped);
  read.entries = EntriesAsReached(std::move(read.entries), read.reached);
  record = std::move(read);
  return RecordRead::kFound;
}

LONG WriteRunRecord(const std::string& packageId, const RunRecord& record) {
  RegistryKey key;
  LONG result = CreateRecordKey(kRecordsKey, WidenUtf8(packageId), key);
  if (result != ERROR_SUCCESS) return result;
  const struct {
    const wchar_t* name;
    const std::wstring& text;
  } strings[] = {{kPackageDirValue, record.packageDir},
                 {kInstallDirRecorded, record.installDir},
                 {kStartedValue, record.started},
                 {kEndedValue, record.ended},
                 {kUndoneValue, record.undone},
                 {kStoppedValue, StoppedText(record.stopped)}};
  // The entries first and the state last: a record is never read as further on than it is.
  result = key.WriteBinary(kEntriesValue, EncodeEntries(record.entries));
  for (const auto& value : strings) {
    if (result != ERROR_SUCCESS) break;
    result = value.text.empty() ? key.DeleteValue(value.name)
                                : key.WriteString(value.name, value.text);
  }
  if (result == ERROR_SUCCESS) result = key.WriteNumber(kFailedEntryValue, record.failedEntry);
  if (result == ERROR_SUCCESS) result = key.WriteNumber(kReachedValue, record.reached);
  if (result == ERROR_SUCCESS) result = key.WriteString(kStateValue, RecordStateName(record.state));
  return result;
}

LONG OpenRunRecord(const std::string& packageId, RegistryKey& key) {
  return key.Create(RecordKey(packageId));
}

LONG WriteReached(RegistryKey& key, DWORD reached) { return key.WriteNumber(kReachedValue, reached); }

LONG WriteStopped(RegistryKey& key, const std::vector<RecordedProgram>& programs) {
  return key.WriteString(kStoppedValue, StoppedText(programs));
}

std::wstring StoppedText(const std::vector<RecordedProgram>& programs) {
  std::wstring text;
  for (const RecordedProgram& program : programs)
    text += std::to_wstring(program.sessionId) + L" " + program.user + L"\n";
  return text;
}

bool ParseStoppedText(const std::wstring& text, std::vector<RecordedProgram>& programs) {
  std::vector<RecordedProgram> parsed;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(start, end - start);
    start = end + 1;
    const size_t space = line.find(L' ');
    if (space == 0 || space == std::wstring::npos ||
        line.find_first_not_of(L"0123456789") != space) {
      return false;
    }
    parsed.push_back({static_cast<DWORD>(std::wcstoul(line.c_str(), nullptr, 10)),
                      line.substr(space + 1)});
  }
  programs.swap(parsed);
  return true;
}

std::vector<std::string> ListRunRecords() {
  std::vector<std::string> ids;
  RegistryKey key;
  if (key.Open(kRecordsKey) != ERROR_SUCCESS) return ids;
  for (const std::wstring& name : key.ListSubkeys()) ids.push_back(NarrowToUtf8(name));
  return ids;
}
