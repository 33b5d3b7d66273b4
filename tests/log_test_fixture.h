#pragma once

// The logger's in-process tests: each starts and ends with the logger as a fresh process has it,
// the log closed before the test's temporary folder goes.

#include <gtest/gtest.h>

#include "log/log_internal.h"
#include "tests/support/files.h"
#include "tests/support/log_files.h"

class LogTest : public testsupport::TempFolderTest {
 protected:
  void SetUp() override { LogTestSeam::Reset(); }
  void TearDown() override { LogTestSeam::Reset(); }
};
