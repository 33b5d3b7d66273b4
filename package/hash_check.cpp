#include "package/hash_check.h"

#include "platform/sha256.h"

HashVerdict CheckRecordedHash(const std::wstring& path, const std::string& recorded,
                              DWORD share) noexcept {
  HashVerdict verdict;
  if (recorded.empty()) return verdict;
  if (!HashFileSha256(path, verdict.actual, verdict.error, share)) {
    const bool missing =
        verdict.error == ERROR_FILE_NOT_FOUND || verdict.error == ERROR_PATH_NOT_FOUND;
    verdict.state = missing ? HashState::kMissing : HashState::kUnreadable;
    return verdict;
  }
  verdict.state = verdict.actual == recorded ? HashState::kMatches : HashState::kDiffers;
  return verdict;
}
