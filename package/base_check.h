#pragma once

// Whether a difference can be decoded where a run would decode it: the base it was made from
// must be the installed file, as it is before the run. One rule for the runner and the dry run.

#include <string>

#include "package/conf.h"
#include "package/entry_paths.h"
#include "package/hash_check.h"
#include "package/plan.h"

enum class BaseState {
  kNotNeeded,       // not a difference, or the plan copies nothing for it
  kMatches,
  kMissing,
  kDiffers,         // `hash.actual` is the installed file's
  kUnreadable,      // `hash.error` says why
  kOutside,         // its "base" lies outside the installation folder
  kReplacedFirst,   // an earlier entry replaces its dest first: the base is gone by its turn
  kAlreadyNew,      // not the base, but its dest holds the new file already (an earlier run's):
                    // the copy is made from there
};

struct BaseVerdict {
  BaseState state = BaseState::kNotNeeded;
  HashVerdict hash;
};

// Reads the base (shared with the product, which may hold it) and hashes it, and the destination
// when the base is not the one; changes nothing.
BaseVerdict CheckBase(const PatchEntry& entry, const EntryPaths& paths, const PlannedEntry& step);
