#pragma once

// The writable logger state: included by the logger's own files only.

#include "log/log_internal.h"

extern LogState TheLog;
