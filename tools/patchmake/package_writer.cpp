#include "tools/patchmake/package_writer.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <utility>

#include "package/conf_write.h"
#include "package/entry_paths.h"
#include "package/layout.h"
#include "platform/file.h"
#include "platform/file_identity.h"
#include "platform/handle.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "product/deployment.h"
#include "tools/kit/files.h"
#include "tools/kit/package_read.h"
#include "tools/kit/runner_image.h"
#include "tools/patchcheck/dry_run.h"
#include "tools/patchmake/encode_file.h"
#include "tools/patchmake/tree.h"

namespace {

// Every patch file lies in this folder of the patch folder, so that none can take the name of
// the package's own conf.json (a product file "conf.json" at the top of a tree).
constexpr wchar_t kPatchFilesFolder[] = L"files";

// Everything this run made, newest last. Removed in reverse unless kept, so that a failure
// leaves nothing of the package and touches nothing it did not make.
class MadePaths {
 public:
  MadePaths() = default;
  ~MadePaths() {
    for (auto made = paths_.rbegin(); made != paths_.rend(); ++made) {
      if (made->second) {
        RemoveDirectoryW(made->first.c_str());
      } else {
        DeleteFileW(made->first.c_str());
      }
    }
  }
  MadePaths(const MadePaths&) = delete;
  MadePaths& operator=(const MadePaths&) = delete;
  void Add(const std::wstring& path, bool folder) { paths_.emplace_back(path, folder); }
  void Keep() { paths_.clear(); }

 private:
  std::vector<std::pair<std::wstring, bool>> paths_;  // path, is a folder
};

// What the package is written with: its patch folder, the folders already made in it, and the
// two chunks that are all the file data held at any time.
struct Writer {
  std::wstring patchDir;
  std::set<std::wstring, FileNameLess> folders;
  std::vector<char> oldChunk = std::vector<char>(kFileChunkBytes);
  std::vector<char> newChunk = std::vector<char>(kFileChunkBytes);
  MadePaths made;
};

bool IsEmptyFolder(const std::wstring& path) {
  bool empty = true;
  DWORD error = 0;
  return ForEachMatch(
             JoinPath(path, L"*"), [&empty](const WIN32_FIND_DATAW&) { empty = false; }, error) &&
         empty && IsFolder(path);
}

// Makes the package's folders for `relative` (below its patch folder), each once.
bool MakeFolders(Writer& writer, const std::wstring& relative, std::string& failure) {
  for (size_t end = 0; end != std::wstring::npos && !relative.empty();) {
    end = relative.find(L'\\', end + 1);
    const std::wstring part = relative.substr(0, end);
    if (writer.folders.count(part) != 0) continue;
    const std::wstring path = writer.patchDir + L"\\" + part;
    if (!CreateDirectoryW(path.c_str(), nullptr)) {
      failure = ErrorText("cannot create", path, GetLastError());
      return false;
    }
    writer.made.Add(path, true);
    writer.folders.insert(part);
  }
  return true;
}

// True in `same` when both files hold the same bytes from their current positions to the end.
bool SameContent(Writer& writer, FileHandle& oldFile, const std::wstring& oldPath,
                 FileHandle& newFile, const std::wstring& newPath, bool& same,
                 std::string& failure) {
  for (;;) {
    DWORD oldRead = 0, newRead = 0;
    if (oldFile.Read(writer.oldChunk.data(), kFileChunkBytes, oldRead) < 0) {
      failure = ErrorText("cannot read", oldPath, GetLastError());
      return false;
    }
    if (newFile.Read(writer.newChunk.data(), kFileChunkBytes, newRead) < 0) {
      failure = ErrorText("cannot read", newPath, GetLastError());
      return false;
    }
    same = oldRead == newRead &&
           std::memcmp(writer.oldChunk.data(), writer.newChunk.data(), newRead) == 0;
    if (!same || newRead == 0) return true;
  }
}

// Packages the new version of `change` unless it equals the old one.
bool AddIfChanged(const MakeRequest& request, const Change& change, Writer& writer,
                  PatchList& entries, std::vector<EncodedEntry>& report, uint64_t& bytes,
                  std::string& failure) {
  if (change.kind != EntryKind::kCopy) {
    entries.push_back({"", NarrowToUtf8(change.path), "", change.kind});
    return true;
  }
  const std::wstring newPath = request.newDir + L"\\" + change.path;
  FileHandle newFile;
  // Without write sharing, so that nobody changes a file while it is compared and copied.
  if (newFile.Open(newPath.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                   FILE_FLAG_SEQUENTIAL_SCAN) < 0) {
    failure = ErrorText("cannot open", newPath, GetLastError());
    return false;
  }
  if (change.inOld && change.oldSize == change.newSize) {
    const std::wstring oldPath = request.oldDir + L"\\" + change.path;
    FileHandle oldFile;
    bool same = false;
    if (oldFile.Open(oldPath.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN) < 0) {
      failure = ErrorText("cannot open", oldPath, GetLastError());
      return false;
    }
    if (!SameContent(writer, oldFile, oldPath, newFile, newPath, same, failure)) return false;
    if (same) return true;
    // Most files of a product are unchanged: comparing alone and reading the equal part of a
    // changed file again costs far less than hashing and writing every file on the chance.
    if (SetFilePointer(newFile.Get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
      failure = ErrorText("cannot read", newPath, GetLastError());
      return false;
    }
  }
  PatchEntry entry;
  const std::wstring src = JoinPath(kPatchFilesFolder, change.path);
  entry.src = NarrowToUtf8(src);
  entry.dest = NarrowToUtf8(change.path);
  EncodeRequest encode;
  encode.newPath = newPath;
  encode.outPath = writer.patchDir + L"\\" + src;
  const std::wstring base = change.inOld ? change.path : change.renamedFrom;
  if (!request.whole && !base.empty()) encode.basePath = request.oldDir + L"\\" + base;
  if (!MakeFolders(writer, ParentFolder(src), failure)) return false;
  writer.made.Add(encode.outPath, false);
  EncodeResult encoded;
  if (!EncodeFile(encode, encoded, failure)) return false;
  entry.sha256 = encoded.sha256;
  entry.encoding = encoded.encoding;
  if (encoded.encoding == Encoding::kDifference) {
    entry.baseSha256 = encoded.baseSha256;
    if (!change.inOld) entry.base = NarrowToUtf8(change.renamedFrom);
  }
  const uint64_t patchBytes = encoded.encoding == Encoding::kDifference ? encoded.sizes.difference
                              : encoded.encoding == Encoding::kCompressed
                                  ? encoded.sizes.compressed
                                  : encoded.sizes.whole;
  report.push_back({entry.dest, entry.encoding, patchBytes, encoded.sizes.whole, entry.base,
                    encoded.tooLargeToDiff});
  bytes += patchBytes;
  entries.push_back(std::move(entry));
  return true;
}

// What refuses the request before anything is read or written.
bool Refused(const MakeRequest& request, std::string& failure) {
  for (const std::wstring& dir : {request.oldDir, request.newDir}) {
    if (!IsFolder(dir)) {
      failure = NarrowToUtf8(dir) + " is not a folder";
      return true;
    }
    if (LiesInside(request.outDir, dir)) {
      failure = NarrowToUtf8(request.outDir) + " lies inside " + NarrowToUtf8(dir);
      return true;
    }
  }
  const DWORD runner = GetFileAttributesW(request.runner.c_str());
  if (runner == INVALID_FILE_ATTRIBUTES || (runner & FILE_ATTRIBUTE_DIRECTORY)) {
    failure = "no runner at " + NarrowToUtf8(request.runner) + " (give one with --runner)";
    return true;
  }
  SealLocation seal;
  PeSignature signature = PeSignature::kNotPe;
  if (request.seal && (!FindSealInFile(request.runner, seal, failure) ||
                       !ReadSignatureOf(request.runner, signature, failure))) {
    failure = "cannot seal the runner: " + failure + " (--no-seal leaves it as it is)";
    return true;
  }
  if (request.seal && signature == PeSignature::kSigned) {
    failure = "the runner " + NarrowToUtf8(request.runner) +
              " carries an Authenticode signature, which sealing would break: give an unsigned "
              "runner and sign the package after patchmake (seal first, then sign)";
    return true;
  }
  if (GetFileAttributesW(request.outDir.c_str()) != INVALID_FILE_ATTRIBUTES &&
      !IsEmptyFolder(request.outDir)) {
    failure = NarrowToUtf8(request.outDir) +
              " exists and is not an empty folder: patchmake never writes over anything";
    return true;
  }
  return false;
}

// The runner's copy gets the seal of conf.json as written, read back as a sealed run reads it.
bool SealRunner(const std::wstring& runner, const std::wstring& conf, std::string& failure) {
  SealLocation at;
  std::string seal;
  return FindSealInFile(runner, at, failure) && SealForConf(conf, seal, failure) &&
         WriteChangedCopy(runner, runner, {{at.offset, seal}}, failure);
}

// conf.json's text with the members the installed updates show, before "patch_list": a runner
// reads only "patch_list", so any runner takes it.
std::string WithUpdateFacts(const std::string& conf, const MakeRequest& request) {
  std::string members;
  const struct {
    const char* name;
    const std::string& value;
  } facts[] = {{"name", request.name}, {"version", request.version},
               {"publisher", request.publisher}};
  for (const auto& fact : facts) {
    if (fact.value.empty()) continue;
    members += std::string("  \"") + fact.name + "\": ";
    AppendJsonString(members, fact.value);
    members += ",\n";
  }
  return conf.substr(0, 2) + members + conf.substr(2);
}

// Writes the whole package into `temp`, beside OUT_DIR.
bool WritePackage(const MakeRequest& request, const std::vector<Change>& changes,
                  const std::wstring& temp, Writer& writer, MakeResult& result,
                  std::string& failure) {
  writer.patchDir = PatchFolderOf(temp);
  for (const std::wstring& folder : {temp, writer.patchDir}) {
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
      failure = ErrorText("cannot create", folder, GetLastError());
      return false;
    }
    writer.made.Add(folder, true);
  }
  const std::wstring runner = JoinPath(temp, kRunnerFileName);
  if (!CopyFileW(request.runner.c_str(), runner.c_str(), TRUE)) {
    failure = ErrorText("cannot copy the runner to", runner, GetLastError());
    return false;
  }
  writer.made.Add(runner, false);
  if (!request.deployProgram.empty()) {
    const std::wstring deploy = JoinPath(temp, kDeployProgram);
    if (!CopyFileW(request.deployProgram.c_str(), deploy.c_str(), TRUE)) {
      failure = ErrorText("cannot copy the deployment program to", deploy, GetLastError());
      return false;
    }
    writer.made.Add(deploy, false);
  }
  PatchList entries;
  for (const Change& change : changes) {
    if (!AddIfChanged(request, change, writer, entries, result.encoded, result.bytes, failure))
      return false;
  }
  for (const EncodedEntry& entry : result.encoded) result.wholeBytes += entry.wholeBytes;
  const std::wstring conf = ConfPathOf(writer.patchDir);
  if (!ReplaceWholeFile(conf, WithUpdateFacts(ConfJsonText(entries), request), failure))
    return false;
  writer.made.Add(conf, false);
  result.entries = entries.size();
  return !request.seal || SealRunner(runner, conf, failure);
}

// A backup of an earlier patch in OLD_DIR beside a file that the package replaces: a run skips
// that entry (the runner's own plan, in the dry run against OLD_DIR), so the file stays old.
void AddBackupErrors(const MakeRequest& request, const PackageReport& report,
                     std::vector<Finding>& errors) {
  for (const DryRunStep& step : report.steps) {
    if (step.planned.action != EntryAction::kSkipBackupExists) continue;
    const std::string dest = report.entries[step.entry - 1].dest;
    errors.push_back({FindingLevel::kError,
                      dest + ": " + NarrowToUtf8(request.oldDir) + " holds " + dest +
                          NarrowToUtf8(kBackupSuffix) +
                          ", the backup of an earlier patch: a run skips this entry and keeps "
                          "the old file"});
  }
}

}  // namespace

bool BuildPackage(const MakeRequest& request, MakeResult& result, std::string& failure) try {
  result = MakeResult();
  if (Refused(request, failure)) return false;
  Tree oldTree, newTree;
  if (!ListTree(request.oldDir, request.excludes, oldTree, failure) ||
      !ListTree(request.newDir, request.excludes, newTree, failure)) {
    return false;
  }
  std::vector<Finding> errors;
  std::vector<Change> changes =
      PairTrees(oldTree, newTree, request.oldDir, request.newDir, result.skipped, errors);
  if (!request.whole) PairRenamedFiles(changes);

  // Written under another name and renamed whole, so that OUT_DIR never holds half a package.
  const std::wstring temp =
      request.outDir + L".patchmake-" + std::to_wstring(GetCurrentProcessId());
  Writer writer;
  if (!WritePackage(request, changes, temp, writer, result, failure)) return false;
  const bool emptyOut = IsFolder(request.outDir);
  if (emptyOut && !RemoveDirectoryW(request.outDir.c_str())) {
    failure = ErrorText("cannot replace the empty folder", request.outDir, GetLastError());
    return false;
  }
  if (!MoveFileExW(temp.c_str(), request.outDir.c_str(), 0)) {
    failure = ErrorText("cannot rename the package to", request.outDir, GetLastError());
    if (emptyOut) CreateDirectoryW(request.outDir.c_str(), nullptr);
    return false;
  }
  writer.made.Keep();

  result.report = CheckPackage(request.outDir);
  DryRun(request.outDir, request.oldDir, result.report);
  AddBackupErrors(request, result.report, errors);
  result.report.findings.insert(result.report.findings.begin(), errors.begin(), errors.end());
  return true;
} catch (const std::bad_alloc&) {
  failure = "out of memory";
  return false;
}

