#include "package/conf.h"

#include "log/log.h"
#include "package/seal.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace {

// One "Error" line for each way the reading can fail; false after it.
bool ReportFileResult(ConfFileResult result) {
  switch (result) {
    case ConfFileResult::kOk:
      return true;
    case ConfFileResult::kMissing:
      LOG_FAILURE(L"[%s]inst conf is not exist.");
      return false;
    case ConfFileResult::kOpenFailed:
      LOG_FAILURE(L"[%s]conf open failed.");
      return false;
    case ConfFileResult::kSizeFailed:
      LOG_FAILURE(L"[%s]conf getsize failed.");
      return false;
    case ConfFileResult::kNoMemory:
      LOG_FAILURE(L"[%s]conf Read failed, no memory to hold the whole file.");
      return false;
    case ConfFileResult::kTooLarge:
    case ConfFileResult::kReadFailed:
      break;
  }
  LOG_FAILURE(L"[%s]conf Read failed.");
  return false;
}

}  // namespace

bool ParseConf(const std::wstring& path, PatchList& list, const std::string& seal,
               std::string* packageId) {
  LOG_PROGRESS(L"[%s]Enter.");
  LOG_PROGRESS(L"[%s]conf file pah[%s].", path);
  std::string text;
  if (!ReportFileResult(ReadConfFile(path, text))) return false;

  // Before a byte is parsed: a sealed runner reads nothing but the conf.json it was sealed with.
  const SealVerdict verdict = CheckSeal(seal, text);
  switch (verdict.state) {
    case SealState::kUnsealed:
      break;
    case SealState::kMatches:
      LOG_PROGRESS(L"[%s]conf file sha256[%s] matches the seal.", WidenUtf8(verdict.actualHex));
      break;
    case SealState::kDiffers:
      LOG_FAILURE(L"[%s]conf file[%s] sha256[%s] differs from the seal sha256[%s].", path,
                  WidenUtf8(verdict.actualHex), WidenUtf8(verdict.sealHex));
      return false;
    case SealState::kUnhashable:
      LOG_FAILURE(L"[%s]conf file sha256 failed, err:%u; the seal cannot be checked.", verdict.error);
      return false;
  }
  if (packageId != nullptr) {
    DWORD error = 0;
    packageId->clear();
    if (verdict.state == SealState::kMatches) {
      *packageId = verdict.actualHex;
    } else if (!HashBytesSha256(text, *packageId, error)) {
      packageId->clear();
    }
  }
  const ConfHashes hashes =
      verdict.state == SealState::kUnsealed ? ConfHashes::kOptional : ConfHashes::kRequired;
  switch (ParseConfText(text, list, nullptr, hashes)) {
    case ConfTextResult::kOk:
      return true;
    case ConfTextResult::kParseFailed:
      LOG_FAILURE(L"[%s]conf json parse failed.");
      return false;
    case ConfTextResult::kListNotArray:
      LOG_FAILURE(L"[%s]conf json parse failed \"patch_list\" is not array.");
      return false;
    case ConfTextResult::kOutOfFormat:
      break;
  }
  LOG_FAILURE(L"[%s]conf json parse failed, a value is outside the format.");
  return false;
}

bool NeedsFileHashes(const PatchList& list) {
  for (const PatchEntry& entry : list) {
    if (entry.kind == EntryKind::kCopy && entry.sha256.empty()) return true;
  }
  return false;
}

std::string PackageIdOf(const std::string& confId, const PatchList& list,
                        const std::vector<std::string>& fileHashes) {
  if (confId.empty() || !NeedsFileHashes(list)) return confId;
  std::string text = confId;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].kind != EntryKind::kCopy || !list[i].sha256.empty()) continue;
    text += '\n' + std::to_string(i + 1) + ' ' + (i < fileHashes.size() ? fileHashes[i] : "-");
  }
  std::string id;
  DWORD error = 0;
  if (!HashBytesSha256(text, id, error)) id.clear();
  return id;
}
