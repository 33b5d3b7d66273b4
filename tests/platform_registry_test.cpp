#include "platform/registry.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <utility>

#include "tests/support/machine.h"

namespace {

// The program reads HKLM\SOFTWARE in its default view, which for a 32-bit program on 64-bit
// Windows is the 32-bit one; the tests write there explicitly.
constexpr wchar_t kTestKey[] = L"SOFTWARE\\PatchRunnerTest";
constexpr wchar_t kMissingKey[] = L"SOFTWARE\\PatchRunnerTest\\NoSuchKey";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(key_.Create()); }

  // Reads `name` the way the install sequence does: 261 units, capacity 260. The buffer is
  // filled with 'x' first so that a missing write shows.
  struct StringRead {
    LONG result;
    DWORD capacity;
    std::wstring text;  // up to the first NUL
    wchar_t first;
  };
  static StringRead ReadAsInstallSequence(const wchar_t* name) {
    RegistryKey key;
    EXPECT_EQ(key.Open(kTestKey), ERROR_SUCCESS);
    wchar_t buffer[MAX_PATH + 1];
    for (auto& unit : buffer) unit = L'x';
    buffer[MAX_PATH] = L'\0';
    DWORD capacity = MAX_PATH;
    const LONG result = key.ReadString(name, buffer, capacity);
    return {result, capacity, buffer, buffer[0]};
  }

  const testsupport::KeyGuard key_{kTestKey};
};

TEST_F(RegistryTest, ReadStringTakes259CharactersAndRefuses260) {
  const std::wstring fits(259, L'a');
  key_.SetString(L"Fits", fits);
  const StringRead read = ReadAsInstallSequence(L"Fits");
  EXPECT_EQ(read.result, ERROR_SUCCESS);
  EXPECT_EQ(read.capacity, 260u);
  EXPECT_EQ(read.text, fits);

  key_.SetString(L"TooLong", std::wstring(260, L'b'));
  const StringRead tooLong = ReadAsInstallSequence(L"TooLong");
  EXPECT_EQ(tooLong.result, ERROR_MORE_DATA);
  EXPECT_EQ(tooLong.capacity, 0u);
}

TEST_F(RegistryTest, ReadStringGivesEmptyTextForNoDataAndForALoneNul) {
  key_.SetRaw(L"NoData", REG_SZ, L"", 0);
  const StringRead noData = ReadAsInstallSequence(L"NoData");
  EXPECT_EQ(noData.result, ERROR_SUCCESS);
  EXPECT_EQ(noData.capacity, 0u);
  EXPECT_EQ(noData.first, L'\0') << "no NUL was written into the buffer";

  key_.SetRaw(L"LoneNul", REG_SZ, L"", sizeof(wchar_t));
  const StringRead loneNul = ReadAsInstallSequence(L"LoneNul");
  EXPECT_EQ(loneNul.result, ERROR_SUCCESS);
  EXPECT_EQ(loneNul.capacity, 1u);
  EXPECT_EQ(loneNul.text, L"");
}

TEST_F(RegistryTest, ReadStringRefusesDataThatIsNotATerminatedUtf16String) {
  // Each value is followed in memory by a non-zero unit, so a read past the data finds no NUL.
  const wchar_t odd[] = L"a\0bX";
  key_.SetRaw(L"OddBytes", REG_SZ, odd, 5);
  const wchar_t unterminated[] = L"abcX";
  key_.SetRaw(L"NoNul", REG_SZ, unterminated, 3 * sizeof(wchar_t));
  key_.SetRaw(L"NoNulExpand", REG_EXPAND_SZ, unterminated, 3 * sizeof(wchar_t));
  key_.SetNumber(L"Number", 42);
  key_.SetRaw(L"Binary", REG_BINARY, L"ab", 3 * sizeof(wchar_t));

  for (const wchar_t* name : {L"OddBytes", L"NoNul", L"NoNulExpand", L"Number", L"Binary"}) {
    SCOPED_TRACE(testing::Message() << "value " << std::string(name, name + wcslen(name)));
    const StringRead read = ReadAsInstallSequence(name);
    EXPECT_EQ(read.result, ERROR_INVALID_DATA);
    EXPECT_EQ(read.capacity, 0u);
  }
}

TEST_F(RegistryTest, ReadStringReturnsExpandableTextUnexpanded) {
  key_.SetString(L"Expand", L"%SystemRoot%\\App", REG_EXPAND_SZ);
  const StringRead read = ReadAsInstallSequence(L"Expand");
  EXPECT_EQ(read.result, ERROR_SUCCESS);
  EXPECT_EQ(read.text, L"%SystemRoot%\\App");
  EXPECT_EQ(read.capacity, 17u);
}

TEST_F(RegistryTest, MissingKeyAndMissingValueReportNotFound) {
  RegistryKey missing;
  EXPECT_EQ(missing.Open(kMissingKey), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(missing.IsValid());
  EXPECT_EQ(missing.Close(), ERROR_SUCCESS);

  const StringRead read = ReadAsInstallSequence(L"NoSuchValue");
  EXPECT_EQ(read.result, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(read.capacity, 0u);
}

TEST_F(RegistryTest, OpenAgainReplacesTheHeldKeyAndCloseEmptiesTheWrapper) {
  key_.SetString(L"Value", L"text");
  RegistryKey key;
  ASSERT_EQ(key.Open(kTestKey), ERROR_SUCCESS);
  EXPECT_EQ(key.Open(kMissingKey), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(key.IsValid()) << "a failed open dropped the key held before";
  EXPECT_EQ(key.Open(kTestKey), ERROR_SUCCESS);

  RegistryKey moved(std::move(key));
  EXPECT_FALSE(key.IsValid());
  wchar_t buffer[16] = {};
  DWORD capacity = 15;
  EXPECT_EQ(moved.ReadString(L"Value", buffer, capacity), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(buffer), L"text");
  EXPECT_EQ(moved.Close(), ERROR_SUCCESS);
  EXPECT_FALSE(moved.IsValid());
}

TEST_F(RegistryTest, ReadNumberReadsDwordsOnly) {
  key_.SetNumber(L"Number", 0x12345678);
  key_.SetString(L"Text", L"1");
  RegistryKey key;
  ASSERT_EQ(key.Open(kTestKey), ERROR_SUCCESS);
  DWORD value = 0;
  EXPECT_EQ(key.ReadNumber(L"Number", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0x12345678u);
  EXPECT_EQ(key.ReadNumber(L"Text", value), ERROR_INVALID_DATA);
  EXPECT_EQ(key.ReadNumber(L"NoSuchValue", value), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ReadRegistryNumberFallsBackOnlyWhenKeyOrValueIsMissing) {
  key_.SetNumber(L"Zero", 0);
  key_.SetNumber(L"Seven", 7);
  EXPECT_EQ(ReadRegistryNumber(kMissingKey, L"Zero", 0xFFFFFFFF), 0xFFFFFFFFu);
  EXPECT_EQ(ReadRegistryNumber(kTestKey, L"NoSuchValue", 0xFFFFFFFF), 0xFFFFFFFFu);
  EXPECT_EQ(ReadRegistryNumber(kTestKey, L"Zero", 0xFFFFFFFF), 0u);
  EXPECT_EQ(ReadRegistryNumber(kTestKey, L"Seven", 0), 7u);
}

// Open registry keys are handles of the process; count the valid handle values.
size_t CountOpenHandles() {
  size_t count = 0;
  DWORD flags = 0;
  for (uintptr_t value = 4; value < 0x8000; value += 4) {
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

TEST_F(RegistryTest, ReadRegistryNumberLeavesNoKeyOpen) {
  key_.SetNumber(L"Seven", 7);
  const size_t before = CountOpenHandles();
  for (int i = 0; i < 50; ++i) ReadRegistryNumber(kTestKey, L"Seven", 0);
  for (int i = 0; i < 50; ++i) ReadRegistryNumber(kTestKey, L"NoSuchValue", 0);
  const size_t after = CountOpenHandles();
  EXPECT_LT(after, before + 10) << "handles before " << before << ", after " << after;
}

}  // namespace
