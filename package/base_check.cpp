#include "package/base_check.h"

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"

BaseVerdict CheckBase(const PatchEntry& entry, const EntryPaths& paths, const PlannedEntry& step) {
  BaseVerdict verdict;
  const bool copies =
      step.action == EntryAction::kCopy || step.action == EntryAction::kMoveThenCopy;
  if (entry.encoding != Encoding::kDifference || !copies) return verdict;
  if (step.sameAs != kNoEntry) {
    verdict.state = BaseState::kReplacedFirst;
  } else if (!entry.base.empty() && OutsideInstallation(DestinationKey(WidenUtf8(entry.base)))) {
    verdict.state = BaseState::kOutside;
  } else {
    verdict.hash = CheckRecordedHash(LongPathForm(paths.base), entry.baseSha256, kShareAll);
    switch (verdict.hash.state) {
      case HashState::kMatches:
        verdict.state = BaseState::kMatches;
        break;
      case HashState::kMissing:
        verdict.state = BaseState::kMissing;
        break;
      case HashState::kDiffers:
        verdict.state = BaseState::kDiffers;
        break;
      default:
        verdict.state = BaseState::kUnreadable;
        break;
    }
  }
  const bool baseIsDest = paths.base == paths.destination;
  if (verdict.state == BaseState::kMatches || verdict.state == BaseState::kReplacedFirst ||
      verdict.state == BaseState::kOutside || (baseIsDest && verdict.state != BaseState::kDiffers))
    return verdict;
  const HashVerdict destination =
      baseIsDest ? verdict.hash
                 : CheckRecordedHash(LongPathForm(paths.destination), entry.sha256, kShareAll);
  if (destination.actual == entry.sha256) verdict.state = BaseState::kAlreadyNew;
  return verdict;
}
