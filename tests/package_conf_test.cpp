#include "package/conf.h"
#include "package/conf_write.h"
#include "package/entry_paths.h"

#include <gtest/gtest.h>

#include <string>

#include "package/seal.h"
#include "platform/handle.h"
#include "platform/text.h"
#include "tests/support/files.h"

namespace {

using Result = ConfTextResult;

std::string Describe(const PatchList& list) {
  std::string text;
  for (const PatchEntry& entry : list) {
    const char* kind = entry.kind == EntryKind::kRemove   ? "rm:"
                       : entry.kind == EntryKind::kFolder ? "md:"
                                                          : "";
    const char* encoding = entry.encoding == Encoding::kCompressed   ? "zst:"
                           : entry.encoding == Encoding::kDifference ? "dif:"
                                                                     : "";
    text += "{" + (kind + (encoding + entry.src)) + "|" + entry.dest +
            (entry.base.empty() ? "" : "<" + entry.base) + "}";
  }
  return text;
}

#define H64 "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"

struct TextCase {
  const char* name;
  const char* json;
  Result expected;
  const char* entries;  // Describe() of the list after the call, when kOk
};

// Every case starts with one entry in the list, which must stay in front (or alone on failure).
const TextCase kTextCases[] = {
    {"empty text", "", Result::kParseFailed, ""},
    {"white space only", " \t\r\n", Result::kParseFailed, ""},
    {"comments only", "// a\n/* b */", Result::kParseFailed, ""},
    {"byte-order mark", "\xEF\xBB\xBF{\"patch_list\":[]}", Result::kParseFailed, ""},
    {"syntax error", "{\"patch_list\":[}", Result::kParseFailed, ""},
    {"deep nesting", nullptr, Result::kParseFailed, ""},
    {"empty list", "{\"patch_list\":[]}", Result::kOk, ""},
    {"absent list", "{\"other\":1}", Result::kOk, ""},
    {"null list", "{\"patch_list\":null}", Result::kOk, ""},
    {"top-level null", "null", Result::kOk, ""},
    {"list is object", "{\"patch_list\":{}}", Result::kListNotArray, ""},
    {"list is string", "{\"patch_list\":\"a\"}", Result::kListNotArray, ""},
    {"list is number", "{\"patch_list\":1}", Result::kListNotArray, ""},
    {"list is boolean", "{\"patch_list\":false}", Result::kListNotArray, ""},
    {"top-level array", "[{\"src\":\"a\",\"dest\":\"b\"}]", Result::kOutOfFormat, ""},
    {"top-level string", "\"patch_list\"", Result::kOutOfFormat, ""},
    {"top-level number", "7", Result::kOutOfFormat, ""},
    {"top-level boolean", "true", Result::kOutOfFormat, ""},
    {"element is string", "{\"patch_list\":[{\"src\":\"a\"},\"x\"]}", Result::kOutOfFormat, ""},
    {"element is array", "{\"patch_list\":[[]]}", Result::kOutOfFormat, ""},
    {"element is number", "{\"patch_list\":[0]}", Result::kOutOfFormat, ""},
    {"src is number", "{\"patch_list\":[{\"src\":1,\"dest\":\"b\"}]}", Result::kOutOfFormat, ""},
    {"dest is array", "{\"patch_list\":[{\"src\":\"a\",\"dest\":[]}]}", Result::kOutOfFormat, ""},
    {"dest is object", "{\"patch_list\":[{\"src\":\"a\",\"dest\":{}}]}", Result::kOutOfFormat, ""},
    {"three in order",
     "{\"patch_list\":[{\"src\":\"a\",\"dest\":\"b\"},{\"src\":\"c\",\"dest\":\"d\"},"
     "{\"dest\":\"f\",\"src\":\"e\"}]}",
     Result::kOk, "{a|b}{c|d}{e|f}"},
    {"null and empty elements", "{\"patch_list\":[null,{}]}", Result::kOk, "{|}{|}"},
    {"booleans", "{\"patch_list\":[{\"src\":true,\"dest\":false}]}", Result::kOk, "{true|false}"},
    {"null members", "{\"patch_list\":[{\"src\":null,\"dest\":\"b\"}]}", Result::kOk, "{|b}"},
    {"other members ignored",
     "{\"v\":[1],\"patch_list\":[{\"src\":\"a\",\"dest\":\"b\",\"n\":[]}]}", Result::kOk, "{a|b}"},
    {"later duplicate wins", "{\"patch_list\":[{\"src\":\"a\",\"src\":\"z\",\"dest\":\"b\"}]}",
     Result::kOk, "{z|b}"},
    {"escapes", "{\"patch_list\":[{\"src\":\"a\\\\b\\/c\",\"dest\":\"\\u00e9\\ud83d\\ude00\"}]}",
     Result::kOk, "{a\\b/c|\xC3\xA9\xF0\x9F\x98\x80}"},
    {"raw UTF-8 passes", "{\"patch_list\":[{\"src\":\"\xC3\xA9\",\"dest\":\"d\"}]}", Result::kOk,
     "{\xC3\xA9|d}"},
    {"trailing garbage", "{\"patch_list\":[{\"src\":\"a\",\"dest\":\"b\"}]} }}} not json [",
     Result::kOk, "{a|b}"},
    {"comments everywhere",
     "/*0*/{/*1*/\"patch_list\"/*2*/:/*3*/[/*4*/{//5\n\"src\"/*6*/:\"a\"/*7*/,\"dest\":\"b\"}/*8*/,"
     "//9\n{}/*10*/]/*11*/}//12",
     Result::kOk, "{a|b}{|}"},
    {"removal, folder, copy",
     "{\"patch_list\":[{\"action\":\"remove\",\"src\":[],\"dest\":\"a\"},{\"action\":"
     "\"folder\",\"src\":[],\"dest\":\"b\"},{\"action\":null,\"src\":\"c\",\"dest\":\"d\"}]}",
     Result::kOk, "{rm:|a}{md:|b}{c|d}"},
    {"unknown action", "{\"patch_list\":[{\"action\":\"delete\",\"src\":[],\"dest\":\"a\"}]}",
     Result::kOutOfFormat, ""},
    {"action not a string", "{\"patch_list\":[{\"action\":1,\"src\":\"a\",\"dest\":\"a\"}]}",
     Result::kOutOfFormat, ""},
    // Without the empty "src" list a reader that knows no actions would act on the entry.
    {"removal without its empty src list",
     "{\"patch_list\":[{\"action\":\"remove\",\"dest\":\"a\"}]}", Result::kOutOfFormat, ""},
    {"folder with a src", "{\"patch_list\":[{\"action\":\"folder\",\"src\":[\"x\"],\"dest\":\"a\"}]}",
     Result::kOutOfFormat, ""},
    {"removal with a sha256",
     "{\"patch_list\":[{\"action\":\"remove\",\"src\":[],\"dest\":\"a\",\"sha256\":\"\"}]}",
     Result::kOutOfFormat, ""},
    // An encoded patch file always names the new file's hash, which a reader that does not
    // decode then finds its bytes without.
    {"encodings",
     "{\"patch_list\":[{\"src\":\"a\",\"dest\":\"b\",\"sha256\":\"" H64 "\",\"encoding\":"
     "\"compressed\"},{\"src\":\"c\",\"dest\":\"d\",\"sha256\":\"" H64 "\",\"encoding\":"
     "\"difference\",\"base_sha256\":\"" H64 "\",\"base\":\"e\"},{\"src\":\"f\",\"dest\":"
     "\"g\",\"encoding\":\"whole\"}]}",
     Result::kOk, "{zst:a|b}{dif:c|d<e}{f|g}"},
    {"encoded without sha256",
     "{\"patch_list\":[{\"src\":\"a\",\"dest\":\"b\",\"encoding\":\"compressed\"}]}",
     Result::kOutOfFormat, ""},
    {"difference without its base's hash",
     "{\"patch_list\":[{\"src\":\"a\",\"dest\":\"b\",\"sha256\":\"" H64 "\",\"encoding\":"
     "\"difference\"}]}",
     Result::kOutOfFormat, ""},
    {"base given to a whole file",
     "{\"patch_list\":[{\"src\":\"a\",\"dest\":\"b\",\"base\":\"c\"}]}",
     Result::kOutOfFormat, ""},
    {"unknown encoding",
     "{\"patch_list\":[{\"src\":\"a\",\"dest\":\"b\",\"sha256\":\"" H64 "\",\"encoding\":"
     "\"xz\"}]}",
     Result::kOutOfFormat, ""},
    {"comment in empty array", "{\"patch_list\":[ /* none */ ]}", Result::kOk, ""},
    {"comment marks inside strings", "{\"patch_list\":[{\"src\":\"a//b\",\"dest\":\"/*c*/\"}]}",
     Result::kOk, "{a//b|/*c*/}"},
};

TEST(ParseConfTextTest, OutcomesAndEntries) {
  for (const TextCase& test : kTextCases) {
    const std::string json =
        test.json != nullptr ? test.json : std::string(5000, '[') + std::string(5000, ']');
    PatchList list{{"old-src", "old-dest"}};
    Result result = Result::kOk;
    ASSERT_NO_THROW(result = ParseConfText(json, list)) << test.name;
    EXPECT_EQ(static_cast<int>(result), static_cast<int>(test.expected)) << test.name;
    const std::string expectedList =
        std::string("{old-src|old-dest}") + (test.expected == Result::kOk ? test.entries : "");
    EXPECT_EQ(Describe(list), expectedList) << test.name;
  }
}

TEST(ParseConfTextTest, UnicodeEscapeGivesTheSameBytesAsRawUtf8) {
  PatchList escaped, raw;
  ASSERT_EQ(ParseConfText("{\"patch_list\":[{\"dest\":\"\\u00fc\\u4e2d\"}]}", escaped),
            Result::kOk);
  ASSERT_EQ(ParseConfText("{\"patch_list\":[{\"dest\":\"\xC3\xBC\xE4\xB8\xAD\"}]}", raw),
            Result::kOk);
  ASSERT_EQ(escaped.size(), 1u);
  ASSERT_EQ(raw.size(), 1u);
  EXPECT_EQ(escaped[0].dest, raw[0].dest);
}

TEST(ParseConfTextTest, HashesRequiredRefuseAnEntryWithoutOne) {
  const std::string hashed = "{\"src\":\"a\",\"sha256\":\"" + std::string(64, 'A') + "\"}";
  for (const char* without : {"{\"src\":\"b\"}", "{\"sha256\":null}", "null"}) {
    const std::string json = "{\"patch_list\":[" + hashed + "," + without + "]}";
    PatchList list;
    ConfProblem problem;
    EXPECT_EQ(ParseConfText(json, list, &problem, ConfHashes::kRequired), Result::kOutOfFormat)
        << without;
    EXPECT_EQ(problem.entry, 1u) << without;
    EXPECT_EQ(problem.found, "missing") << without;
    EXPECT_TRUE(list.empty()) << without;
    EXPECT_EQ(ParseConfText(json, list), Result::kOk) << "optional as before: " << without;
  }
  // A removal or a folder has no patch file for a hash to cover.
  PatchList list;
  EXPECT_EQ(ParseConfText("{\"patch_list\":[" + hashed +
                              ",{\"action\":\"folder\",\"src\":[],\"dest\":\"f\"}]}",
                          list, nullptr, ConfHashes::kRequired),
            Result::kOk);
}

TEST(SealTest, HexFormsAndAnUnsealedRunnerHashesNothing) {
  const std::string seal = SealFromHex(std::string(62, '0') + "aF");
  EXPECT_EQ(seal, std::string(31, '\0') + "\xAF");
  EXPECT_EQ(SealHex(seal), std::string(62, '0') + "af");
  EXPECT_TRUE(IsSealed(seal));
  EXPECT_FALSE(IsSealed(std::string(kSealBytes, '\0')));
  EXPECT_EQ(SealFromHex(std::string(63, '0') + "g"), "");
  EXPECT_EQ(SealFromHex(std::string(62, '0')), "");
  const SealVerdict unsealed = CheckSeal(std::string(kSealBytes, '\0'), "any text");
  EXPECT_EQ(unsealed.state, SealState::kUnsealed);
  EXPECT_EQ(unsealed.actualHex, "");
}

TEST(BlankJsonCommentsTest, BlanksOnlyCommentsOutsideStringsAndKeepsLineBreaks) {
  EXPECT_EQ(BlankJsonComments("a/*x\ny*/b"), "a   \n   b");
  EXPECT_EQ(BlankJsonComments("a//x\r\nb"), "a   \r\nb");
  EXPECT_EQ(BlankJsonComments("\"//\\\"/*\"/**/"), "\"//\\\"/*\"    ");
  EXPECT_EQ(BlankJsonComments("[1/*open"), "[1      ");
  EXPECT_EQ(BlankJsonComments("1/2"), "1/2");
  EXPECT_EQ(BlankJsonComments("\"unclosed /* \\"), "\"unclosed /* \\");
}

// ParseConf against real files.
class ParseConfTest : public testsupport::TempFolderTest {
 protected:
  std::wstring Write(const std::string& bytes) {
    const std::wstring path = temp_ / L"conf.json";
    testsupport::WriteBytes(path, bytes);
    return path;
  }
};

TEST_F(ParseConfTest, ReadsTheWholeFile) {
  // Bigger than one small read buffer, so a partial read would show.
  std::string json = "{\"patch_list\":[";
  for (int i = 0; i < 2000; ++i)
    json += (i ? "," : "") + std::string("{\"src\":\"s\",\"dest\":\"d\"}");
  json += "]}";
  PatchList list{{"keep", "me"}};
  ASSERT_TRUE(ParseConf(Write(json), list));
  ASSERT_EQ(list.size(), 2001u);
  EXPECT_EQ(list.front().src, "keep");
  EXPECT_EQ(list.back().dest, "d");
}

TEST_F(ParseConfTest, FailuresLeaveTheListUnchanged) {
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty file", ""},
      {"byte-order mark", "\xEF\xBB\xBF{\"patch_list\":[]}"},
      {"list not array", "{\"patch_list\":\"x\"}"},
      {"top-level array", "[]"},
      {"src is object", "{\"patch_list\":[{\"src\":{}}]}"},
  };
  for (const auto& test : cases) {
    PatchList list{{"a", "b"}};
    EXPECT_FALSE(ParseConf(Write(test.bytes), list)) << test.name;
    EXPECT_EQ(Describe(list), "{a|b}") << test.name;
  }
  // Longer than a string may be in a 32-bit process: a read failure, never an exception.
  const std::wstring path = temp_ / L"conf.json";
  testsupport::MakeFileOfSize(path, "", 3ull << 30);
  std::string text;
  EXPECT_EQ(ReadConfFile(path, text), ConfFileResult::kNoMemory);
}

TEST(EntryPathsTest, CutOffTextKeepsItsLastCharacterAndDevicesAreNoFiles) {
  EXPECT_EQ(WidenUtf8("ab\xE2\x82"), L"ab\uFFFD");
  EXPECT_EQ(WidenUtf8(std::string("a\0b", 3)), L"a") << "the text ends at its first zero";
  for (const wchar_t* dest :
       {L"NUL", L"x\\nul .txt", L"CONIN$", L"lpt9.log", L"COM\u00B9", L"a.txt:s", L"a::$DATA"}) {
    EXPECT_TRUE(NamesDeviceOrStream(dest)) << NarrowToUtf8(dest);
  }
  for (const wchar_t* dest : {L"nul\\a.txt", L"console.txt", L"COM10", L"lpt", L"x\\conx"}) {
    EXPECT_FALSE(NamesDeviceOrStream(dest)) << NarrowToUtf8(dest);
  }
}

TEST_F(ParseConfTest, AcceptsCommentsTrailingTextAndNull) {
  PatchList list;
  EXPECT_TRUE(ParseConf(Write("// c\n{\"patch_list\" /* c */ : [ /* c */ ]} trailing"), list));
  EXPECT_TRUE(ParseConf(Write("null"), list));
  EXPECT_TRUE(ParseConf(Write("{\"patch_list\":[null, {\"src\":\"x\"}]}\n\x01\x02"), list));
  EXPECT_EQ(Describe(list), "{|}{x|}");
}

TEST_F(ParseConfTest, MissingFileFolderAndFileOpenForWritingFail) {
  PatchList list;
  EXPECT_FALSE(ParseConf(temp_ / L"missing.json", list));
  EXPECT_FALSE(testsupport::Exists(temp_ / L"missing.json"))
      << "a missing file must not be created";

  const std::wstring folder = temp_ / L"sub\\conf.json";
  testsupport::MakeFolders(folder);
  EXPECT_FALSE(ParseConf(folder, list));

  const std::wstring path = Write("{\"patch_list\":[{\"src\":\"a\"}]}");
  {
    KernelHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer.IsValid()) << "could not hold the file open: " << GetLastError();
    EXPECT_FALSE(ParseConf(path, list));
  }
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(ParseConf(path, list)) << "readable again once the writer has closed it";
  EXPECT_EQ(Describe(list), "{a|}");
}

TEST(ConfWrite, ConfJsonTextReadsBackAsItsEntries) {
  const PatchList written = {
      {"bin\\a.dll", "bin\\a.dll", std::string(64, 'a')},
      {"quote\"and\\slash", "\xC3\xA9\t\x01", std::string(64, '0')},
      {"", "lib-1.dll", "", EntryKind::kRemove},
      {"", "win\\arm64", "", EntryKind::kFolder},
      {"a.dif", "lib-2.dll", std::string(64, 'c'), EntryKind::kCopy, Encoding::kDifference,
       std::string(64, 'd'), "lib-1.dll"},
      {"b.zst", "b.dll", std::string(64, 'e'), EntryKind::kCopy, Encoding::kCompressed},
  };
  PatchList read;
  ASSERT_EQ(ParseConfText(ConfJsonText(written), read), ConfTextResult::kOk)
      << ConfJsonText(written);
  ASSERT_EQ(read.size(), written.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].src, written[i].src);
    EXPECT_EQ(read[i].dest, written[i].dest);
    EXPECT_EQ(read[i].sha256, written[i].sha256);
    EXPECT_EQ(read[i].kind, written[i].kind);
    EXPECT_EQ(read[i].encoding, written[i].encoding);
    EXPECT_EQ(read[i].baseSha256, written[i].baseSha256);
    EXPECT_EQ(read[i].base, written[i].base);
  }
  EXPECT_NE(ConfJsonText(written).compare(0, 3, "\xEF\xBB\xBF"), 0) << "no byte-order mark";
}

}  // namespace
