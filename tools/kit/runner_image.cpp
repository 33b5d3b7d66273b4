#include "tools/kit/runner_image.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "log/log_readers.h"
#include "package/seal.h"
#include "platform/file.h"
#include "platform/handle.h"
#include "platform/text.h"
#include "tools/kit/files.h"

namespace {
constexpr size_t kMostOffsets = 2;  // a second one is enough to refuse

// Kept reversed: a program that searches for the markers must not contain them, or it would
// look like a runner itself.
std::string Reversed(const char* text) {
  std::string result(text);
  std::reverse(result.begin(), result.end());
  return result;
}

// Where a marker occurs in a file fed to it piece by piece; a marker that straddles two pieces
// is found through the end of the previous one that is kept.
class MarkerScan {
 public:
  explicit MarkerScan(const std::string& marker) : marker_(marker) {}
  void Feed(const char* data, size_t size) {
    // A marker that starts in what is kept of the previous piece, then those in this one.
    const std::string seam = tail_ + std::string(data, std::min(size, marker_.size() - 1));
    Search(seam, consumed_ - tail_.size(), tail_.size());
    Search(std::string_view(data, size), consumed_, size);
    const std::string joined = tail_ + std::string(data + size - std::min(size, marker_.size()),
                                                   std::min(size, marker_.size()));
    tail_ = joined.substr(joined.size() - std::min(joined.size(), marker_.size() - 1));
    consumed_ += size;
  }
  const std::vector<uint64_t>& Offsets() const { return offsets_; }

 private:
  // Records the marker's occurrences in `text` that start before `startsBefore`.
  void Search(std::string_view text, uint64_t base, size_t startsBefore) {
    for (size_t at = text.find(marker_);
         at != std::string_view::npos && at < startsBefore && offsets_.size() < kMostOffsets;
         at = text.find(marker_, at + 1)) {
      offsets_.push_back(base + at);
    }
  }
  std::string marker_, tail_;
  uint64_t consumed_ = 0;
  std::vector<uint64_t> offsets_;
};

// Checks each scan's offsets and reads the field after it through `read(offset, count, out)`,
// which is false when the file ends first.
template <typename Read>
bool Settle(const std::vector<MarkerScan>& scans, std::vector<MarkedField>& fields, Read read,
            std::string& error) {
  std::vector<MarkedField> found = fields;
  for (size_t i = 0; i < found.size(); ++i) {
    MarkedField& field = found[i];
    const std::vector<uint64_t>& offsets = scans[i].Offsets();
    const std::string quoted = "marker \"" + field.marker + "\"";
    if (offsets.empty()) {
      error = quoted + " not found: not a patch runner";
      return false;
    }
    if (offsets.size() > 1) {
      error = quoted + " found more than once: the block is ambiguous";
      return false;
    }
    std::string after;
    if (!read(offsets[0] + field.marker.size(), field.length + 1, after) || after[0] != '\0') {
      error = quoted + " is not followed by its NUL and " + std::to_string(field.length) +
              (field.length == 1 ? " byte" : " bytes");
      return false;
    }
    field.offset = offsets[0] + field.marker.size() + 1;
    field.bytes = after.substr(1);
  }
  fields = found;
  return true;
}

std::vector<MarkerScan> ScansFor(const std::vector<MarkedField>& fields) {
  std::vector<MarkerScan> scans;
  for (const MarkedField& field : fields) scans.emplace_back(field.marker);
  return scans;
}

std::vector<MarkedField> FlagFields() { return {{LogEnabledMarker(), 1}, {MagicDebugMarker(), 1}}; }

bool ToLocation(bool found, const std::vector<MarkedField>& fields, FlagBlockLocation& location) {
  if (!found) return false;
  location.logEnabled = fields[0].offset;
  location.magicDebug = fields[1].offset;
  location.logEnabledValue = static_cast<unsigned char>(fields[0].bytes[0]);
  location.magicDebugValue = static_cast<unsigned char>(fields[1].bytes[0]);
  return true;
}

template <typename T>
bool ReadAt(const std::string& bytes, size_t offset, T& value) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return true;
}

// The security directory's entry of an optional header of type `Header` at `optional`.
template <typename Header>
PeSignature SecurityDirectoryOf(const std::string& head, size_t optional) {
  DWORD count = 0;
  IMAGE_DATA_DIRECTORY security = {};
  if (!ReadAt(head, optional + offsetof(Header, NumberOfRvaAndSizes), count)) {
    return PeSignature::kNotPe;
  }
  if (count <= IMAGE_DIRECTORY_ENTRY_SECURITY) return PeSignature::kUnsigned;
  if (!ReadAt(head,
              optional + offsetof(Header, DataDirectory) +
                  IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY),
              security)) {
    return PeSignature::kNotPe;
  }
  return security.Size != 0 ? PeSignature::kSigned : PeSignature::kUnsigned;
}
// One WinVerifyTrust check of a file: the verdict at construction, and the state it keeps
// (the signer's chain) closed at destruction.
class TrustCheck {
 public:
  explicit TrustCheck(std::wstring path) : path_(std::move(path)) {
    file_.cbStruct = sizeof(file_);
    file_.pcwszFilePath = path_.c_str();
    data_.cbStruct = sizeof(data_);
    data_.dwUIChoice = WTD_UI_NONE;
    data_.fdwRevocationChecks = WTD_REVOKE_NONE;
    data_.dwUnionChoice = WTD_CHOICE_FILE;
    data_.pFile = &file_;
    data_.dwStateAction = WTD_STATEACTION_VERIFY;
    // A tool may run where there is no network, or where a look-up would hang it.
    data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
    result_ = static_cast<uint32_t>(WinVerifyTrust(NoInteractiveUser(), &action_, &data_));
  }
  ~TrustCheck() {
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(NoInteractiveUser(), &action_, &data_);
  }
  TrustCheck(const TrustCheck&) = delete;
  TrustCheck& operator=(const TrustCheck&) = delete;

  uint32_t Result() const { return result_; }
  // The name on the signer's own certificate; empty when the check kept no chain.
  std::string Signer() const {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer =
        provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (!signer || signer->csCertChain == 0 || !signer->pasCertChain[0].pCert) return "";
    PCCERT_CONTEXT cert = signer->pasCertChain[0].pCert;
    const DWORD size =
        CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (size <= 1) return "";
    std::wstring name(size, L'\0');
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, &name[0], size);
    name.resize(size - 1);
    return NarrowToUtf8(name);
  }

 private:
  static HWND NoInteractiveUser() { return static_cast<HWND>(INVALID_HANDLE_VALUE); }
  std::wstring path_;
  GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO file_ = {};
  WINTRUST_DATA data_ = {};
  uint32_t result_ = 0;
};

// Why a signature does not verify, for the codes an author meets.
const char* WhyNotVerified(uint32_t code) {
  switch (static_cast<HRESULT>(code)) {
    case TRUST_E_BAD_DIGEST:
      return "the file was changed after it was signed";
    case TRUST_E_NOSIGNATURE:
      return "its security directory holds no signature that can be read";
    case CERT_E_EXPIRED:
      return "the certificate has expired and the signature has no time stamp";
    case CERT_E_REVOKED:
      return "the certificate is revoked";
    case TRUST_E_EXPLICIT_DISTRUST:
      return "the certificate is explicitly distrusted here";
    case CERT_E_WRONG_USAGE:
      return "the certificate is not one for code signing";
    default:
      return "WinVerifyTrust refuses it";
  }
}
}  // namespace

SignatureCheck JudgeSignature(PeSignature directory, uint32_t trustResult) {
  if (directory != PeSignature::kSigned) return SignatureCheck::kNone;
  switch (static_cast<HRESULT>(trustResult)) {
    case S_OK:
      return SignatureCheck::kVerifies;
    // The digest is checked before the chain, so these come only with a matching digest.
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
    case CERT_E_UNTRUSTEDTESTROOT:
    case CERT_E_UNTRUSTEDCA:
      return SignatureCheck::kNotTrustedHere;
    default:
      return SignatureCheck::kDoesNotVerify;
  }
}

bool VerifySignatureOf(const std::wstring& path, SignatureVerdict& verdict, std::string& error) {
  PeSignature directory = PeSignature::kNotPe;
  if (!ReadSignatureOf(path, directory, error)) return false;
  SignatureVerdict found;
  if (directory == PeSignature::kSigned) {
    const TrustCheck check(path);
    found.code = check.Result();
    found.state = JudgeSignature(directory, found.code);
    if (found.state != SignatureCheck::kDoesNotVerify) found.signer = check.Signer();
  }
  verdict = found;
  return true;
}

std::string HexCode(uint32_t code) {
  char text[11];
  std::snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(code));
  return text;
}

std::string DescribeSignature(const SignatureVerdict& verdict) {
  const std::string signer = verdict.signer.empty() ? "signer unknown" : verdict.signer;
  switch (verdict.state) {
    case SignatureCheck::kNone:
      break;
    case SignatureCheck::kVerifies:
      return "verifies (" + signer + ")";
    case SignatureCheck::kNotTrustedHere:
      return "verifies (" + signer + "); its certificate is not trusted here (" +
             HexCode(verdict.code) + ")";
    case SignatureCheck::kDoesNotVerify:
      return "does not verify (" + HexCode(verdict.code) + ": " + WhyNotVerified(verdict.code) +
             ")";
  }
  return "none";
}

const char* SignatureName(SignatureCheck state) {
  switch (state) {
    case SignatureCheck::kNone:
      break;
    case SignatureCheck::kVerifies:
    case SignatureCheck::kNotTrustedHere:
      return "verifies";
    case SignatureCheck::kDoesNotVerify:
      return "does-not-verify";
  }
  return "none";
}

std::string LogEnabledMarker() { return Reversed("napmocelavron"); }
std::string MagicDebugMarker() { return Reversed("lavronynapmoc"); }
std::string SealMarker() { return Reversed("aesgkpelavron"); }

bool FindSealInFile(const std::wstring& path, SealLocation& location, std::string& error) {
  std::vector<MarkedField> fields = {{SealMarker(), kSealBytes}};
  if (!FindMarkedFieldsInFile(path, fields, error)) return false;
  location.offset = fields[0].offset;
  location.seal = fields[0].bytes;
  return true;
}

PeSignature SignatureOf(const std::string& head) {
  IMAGE_DOS_HEADER dos = {};
  DWORD signature = 0;
  WORD magic = 0;
  if (!ReadAt(head, 0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0)
    return PeSignature::kNotPe;
  const size_t nt = static_cast<size_t>(dos.e_lfanew);
  const size_t optional = nt + offsetof(IMAGE_NT_HEADERS32, OptionalHeader);
  if (!ReadAt(head, nt, signature) || signature != IMAGE_NT_SIGNATURE ||
      !ReadAt(head, optional, magic)) {
    return PeSignature::kNotPe;
  }
  if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
    return SecurityDirectoryOf<IMAGE_OPTIONAL_HEADER32>(head, optional);
  if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    return SecurityDirectoryOf<IMAGE_OPTIONAL_HEADER64>(head, optional);
  return PeSignature::kNotPe;
}

bool ReadSignatureOf(const std::wstring& path, PeSignature& signature, std::string& error) {
  FileHandle file;
  if (file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING) < 0) {
    error = ErrorText("cannot open", path, GetLastError());
    return false;
  }
  std::string head(kHeaderBytes, '\0');
  DWORD read = 0;
  if (file.Read(&head[0], kHeaderBytes, read) < 0) {
    error = ErrorText("cannot read", path, GetLastError());
    return false;
  }
  head.resize(read);
  signature = SignatureOf(head);
  return true;
}

bool FindMarkedFields(const std::string& bytes, std::vector<MarkedField>& fields,
                      std::string& error) {
  std::vector<MarkerScan> scans = ScansFor(fields);
  for (MarkerScan& scan : scans) scan.Feed(bytes.data(), bytes.size());
  return Settle(
      scans, fields,
      [&bytes](uint64_t offset, size_t count, std::string& out) {
        if (offset + count > bytes.size()) return false;
        out = bytes.substr(static_cast<size_t>(offset), count);
        return true;
      },
      error);
}

bool FindMarkedFieldsInFile(const std::wstring& path, std::vector<MarkedField>& fields,
                            std::string& error) {
  const KernelHandle file =
      OpenFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
  if (!file.IsValid()) {
    error = ErrorText("cannot open", path, GetLastError());
    return false;
  }
  std::vector<MarkerScan> scans = ScansFor(fields);
  std::vector<char> chunk;
  DWORD code = 0;
  if (!ReadInChunks(
          file.Get(), chunk,
          [&scans](const char* data, DWORD size) {
            for (MarkerScan& scan : scans) scan.Feed(data, size);
            return true;
          },
          code)) {
    error = ErrorText("cannot read", path, code);
    return false;
  }
  return Settle(
      scans, fields,
      [&file](uint64_t offset, size_t count, std::string& out) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        out.assign(count, '\0');
        DWORD read = 0;
        return SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) &&
               ReadFile(file.Get(), &out[0], static_cast<DWORD>(count), &read, nullptr) &&
               read == count;
      },
      error);
}

bool FindFlagBlock(const std::string& bytes, FlagBlockLocation& location, std::string& error) {
  std::vector<MarkedField> fields = FlagFields();
  return ToLocation(FindMarkedFields(bytes, fields, error), fields, location);
}

bool FindFlagBlockInFile(const std::wstring& path, FlagBlockLocation& location,
                         std::string& error) {
  std::vector<MarkedField> fields = FlagFields();
  return ToLocation(FindMarkedFieldsInFile(path, fields, error), fields, location);
}

std::string DescribeFlags(unsigned char magicDebug, unsigned char logEnabled) {
  switch (ActivationOf(magicDebug, logEnabled, false)) {
    case LogActivation::kAtEntry:
      return "log on, opened at entry: BEGAIN line first, END line at shutdown";
    case LogActivation::kAtFirstLine:
      return "log on, opened at the first line: \"Magic debuge open\" line first, END line at "
             "shutdown";
    case LogActivation::kOff:
      break;
  }
  return "log off unless HKLM\\" + NarrowToUtf8(kLogSwitchKey) + " " +
         NarrowToUtf8(kLogSwitchValue) + " is a non-zero DWORD";
}
