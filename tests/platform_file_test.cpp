#include "platform/file.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>

#include "tests/support/files.h"

namespace {

constexpr DWORD kShareReadDelete = FILE_SHARE_READ | FILE_SHARE_DELETE;

TEST(ResultFromLastErrorTest, MakesFailureCodesFromPositiveErrorsOnly) {
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(ResultFromLastError(), 0);
  SetLastError(ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(ResultFromLastError(), static_cast<FileResult>(0x80070003u));
  SetLastError(0x12345);  // only the low 16 bits are kept
  EXPECT_EQ(ResultFromLastError(), static_cast<FileResult>(0x80072345u));
  SetLastError(0x80004005u);  // already a failure code
  EXPECT_EQ(ResultFromLastError(), static_cast<FileResult>(0x80004005u));
}

class FileHandleTest : public testsupport::TempFolderTest {};

TEST_F(FileHandleTest, OpenInAMissingFolderFailsWithPathNotFoundAndStaysEmpty) {
  const std::wstring path = temp_ / L"missing\\conf.json";
  FileHandle file;
  EXPECT_EQ(file.Open(path.c_str(), GENERIC_READ, kShareReadDelete, OPEN_ALWAYS),
            static_cast<FileResult>(0x80070003u));
  EXPECT_FALSE(file.IsValid());
  EXPECT_FALSE(testsupport::Exists(temp_ / L"missing"));
}

TEST_F(FileHandleTest, OpenAlwaysCreatesAnEmptyFile) {
  const std::wstring path = temp_ / L"conf.json";
  FileHandle file;
  ASSERT_EQ(file.Open(path.c_str(), GENERIC_READ, kShareReadDelete, OPEN_ALWAYS), 0);
  EXPECT_TRUE(file.IsValid());
  EXPECT_TRUE(testsupport::Exists(path));
  uint64_t size = 99;
  EXPECT_EQ(file.GetSize(size), 0);
  EXPECT_EQ(size, 0u);
  char buffer[8];
  DWORD read = 99;
  EXPECT_EQ(file.Read(buffer, sizeof(buffer), read), 0);
  EXPECT_EQ(read, 0u);
}

TEST_F(FileHandleTest, SizeAndOneReadGiveTheWholeSmallFile) {
  const std::string content = "{ \"patch_list\": [] }\r\n\xEF\xBB\xBFtail";
  const std::wstring path = temp_ / L"conf.json";
  testsupport::WriteBytes(path, content);

  FileHandle file;
  ASSERT_EQ(file.Open(path.c_str(), GENERIC_READ, kShareReadDelete, OPEN_ALWAYS), 0);
  uint64_t size = 0;
  ASSERT_EQ(file.GetSize(size), 0);
  EXPECT_EQ(size, content.size());
  std::string buffer(content.size() + 16, '\0');
  DWORD read = 0;
  ASSERT_EQ(file.Read(&buffer[0], static_cast<DWORD>(buffer.size()), read), 0);
  EXPECT_EQ(buffer.substr(0, read), content);
}

TEST_F(FileHandleTest, CallsOnAnEmptyWrapperFailAndLeaveTheirOutputsAlone) {
  FileHandle file;
  uint64_t size = 1234;
  EXPECT_LT(file.GetSize(size), 0);
  EXPECT_EQ(size, 1234u);
  char buffer[4];
  DWORD read = 7;
  EXPECT_LT(file.Read(buffer, sizeof(buffer), read), 0);
  EXPECT_EQ(read, 0u);
  EXPECT_LT(file.SeekToEnd(), 0);
  file.Close();
  EXPECT_FALSE(file.IsValid());
}

TEST_F(FileHandleTest, DetachedHandleAppendsAfterSeekToEndAndStaysOpen) {
  const std::wstring path = temp_ / L"patch_patch.log";
  testsupport::WriteBytes(path, "first\n");

  FileHandle file;
  ASSERT_EQ(file.Open(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS), 0);
  EXPECT_EQ(file.SeekToEnd(), 0);
  KernelHandle detached(file.Detach());
  EXPECT_FALSE(file.IsValid());
  file.Close();  // must not close the detached handle

  DWORD written = 0;
  EXPECT_TRUE(WriteFile(detached.Get(), "second\n", 7, &written, nullptr))
      << "error " << GetLastError();
  detached.Reset();
  EXPECT_EQ(testsupport::ReadBytes(path), "first\nsecond\n");
}

TEST_F(FileHandleTest, ShareModeIsHonouredAndClosingReleasesTheFile) {
  const std::wstring path = temp_ / L"patch_patch.log";
  FileHandle writer;
  ASSERT_EQ(writer.Open(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), 0);

  FileHandle secondWriter;
  EXPECT_EQ(secondWriter.Open(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS),
            static_cast<FileResult>(0x80070020u));  // sharing violation
  FileHandle reader;
  EXPECT_EQ(
      reader.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
      0);
  reader.Close();

  FileHandle moved(std::move(writer));
  EXPECT_FALSE(writer.IsValid());
  EXPECT_TRUE(moved.IsValid());
  moved.Close();
  EXPECT_TRUE(DeleteFileW(path.c_str())) << "the file is still held, error " << GetLastError();
}

}  // namespace
