// PLACEHOLDER until the log lands: flag block only.
#include "log/log.h"
LogFlagBlock LogFlags = {"norvalecompan", 0, "companynorval", 1};
