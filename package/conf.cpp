#include "package/conf.h"

#include "log/log.h"

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

bool ParseConf(const std::wstring& path, PatchList& list) {
  LOG_PROGRESS(L"[%s]Enter.");
  LOG_PROGRESS(L"[%s]conf file pah[%s].", path);
  std::string text;
  if (!ReportFileResult(ReadConfFile(path, text))) return false;

  switch (ParseConfText(text, list)) {
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
