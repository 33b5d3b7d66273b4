// The built Patch.exe as it ships: a package carries nothing else, so it must be a 32-bit GUI
// program that needs only DLLs every Windows has.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace {

// What the headers of a PE image say about it. `error` is empty when the image could be read.
struct PeFacts {
  std::string error;
  WORD machine = 0;
  WORD optionalMagic = 0;
  WORD subsystem = 0;
  std::vector<std::string> imports;       // DLL names, lower case
  std::vector<std::string> delayImports;  // DLL names, lower case
  std::map<WORD, std::string> resources;  // the data of the first resource of each numeric type
};

template <typename T>
bool ReadAt(const std::string& image, size_t offset, T& value) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(&value, image.data() + offset, sizeof(T));
  return true;
}

// File offset of a relative virtual address, or 0 when no section holds it.
size_t OffsetOfRva(const std::vector<IMAGE_SECTION_HEADER>& sections, DWORD rva) {
  for (const auto& section : sections) {
    const DWORD size = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
    if (rva >= section.VirtualAddress && rva - section.VirtualAddress < size) {
      return section.PointerToRawData + (rva - section.VirtualAddress);
    }
  }
  return 0;
}

bool ReadName(const std::string& image, size_t offset, std::string& name) {
  if (offset == 0 || offset >= image.size()) return false;
  const size_t end = image.find('\0', offset);
  if (end == std::string::npos) return false;
  name = image.substr(offset, end - offset);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return true;
}

// Follows the first entry of the name and language levels below each resource type.
void ReadResources(const std::string& image, const std::vector<IMAGE_SECTION_HEADER>& sections,
                   DWORD rva, PeFacts& facts) {
  const size_t base = OffsetOfRva(sections, rva);
  IMAGE_RESOURCE_DIRECTORY root = {};
  if (base == 0 || !ReadAt(image, base, root)) return;
  for (int i = 0; i < root.NumberOfNamedEntries + root.NumberOfIdEntries; ++i) {
    IMAGE_RESOURCE_DIRECTORY_ENTRY type = {};
    if (!ReadAt(image, base + sizeof(root) + i * sizeof(type), type) || type.NameIsString) continue;
    DWORD next = type.OffsetToData;
    for (int level = 0; level < 2 && (next & IMAGE_RESOURCE_DATA_IS_DIRECTORY); ++level) {
      IMAGE_RESOURCE_DIRECTORY_ENTRY first = {};
      if (!ReadAt(image, base + (next & ~IMAGE_RESOURCE_DATA_IS_DIRECTORY) + sizeof(root), first))
        return;
      next = first.OffsetToData;
    }
    IMAGE_RESOURCE_DATA_ENTRY data = {};
    if ((next & IMAGE_RESOURCE_DATA_IS_DIRECTORY) || !ReadAt(image, base + next, data)) continue;
    const size_t at = OffsetOfRva(sections, data.OffsetToData);
    if (at != 0 && at + data.Size <= image.size())
      facts.resources[type.Id] = image.substr(at, data.Size);
  }
}

// Appends the DLL names of the import table at `rva` (none when it is 0), whose descriptors name
// their DLL at `nameRva`. False when a name cannot be read.
template <typename Descriptor>
bool ReadImportNames(const std::string& image, const std::vector<IMAGE_SECTION_HEADER>& sections,
                     DWORD rva, DWORD Descriptor::*nameRva, std::vector<std::string>& names) {
  Descriptor descriptor = {};
  for (size_t offset = OffsetOfRva(sections, rva);
       rva != 0 && ReadAt(image, offset, descriptor) && descriptor.*nameRva != 0;
       offset += sizeof(descriptor)) {
    names.emplace_back();
    if (!ReadName(image, OffsetOfRva(sections, descriptor.*nameRva), names.back())) return false;
  }
  return true;
}

// Reads the headers and the import tables of a 32-bit PE image held in memory.
PeFacts ReadPeFacts(const std::string& image) {
  PeFacts facts;
  IMAGE_DOS_HEADER dos = {};
  if (!ReadAt(image, 0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) {
    facts.error = "no MZ header";
    return facts;
  }
  IMAGE_NT_HEADERS32 nt = {};
  const size_t ntOffset = static_cast<size_t>(dos.e_lfanew);
  if (!ReadAt(image, ntOffset, nt) || nt.Signature != IMAGE_NT_SIGNATURE) {
    facts.error = "no PE signature";
    return facts;
  }
  facts.machine = nt.FileHeader.Machine;
  facts.optionalMagic = nt.OptionalHeader.Magic;
  facts.subsystem = nt.OptionalHeader.Subsystem;
  if (facts.optionalMagic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) return facts;

  std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
  const size_t sectionsOffset =
      ntOffset + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
  for (size_t i = 0; i < sections.size(); ++i) {
    if (!ReadAt(image, sectionsOffset + i * sizeof(IMAGE_SECTION_HEADER), sections[i])) {
      facts.error = "section table cut short";
      return facts;
    }
  }

  const auto& directories = nt.OptionalHeader.DataDirectory;
  if (!ReadImportNames(image, sections, directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress,
                       &IMAGE_IMPORT_DESCRIPTOR::Name, facts.imports)) {
    facts.error = "unreadable import name";
  } else if (!ReadImportNames(image, sections,
                              directories[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].VirtualAddress,
                              &IMAGE_DELAYLOAD_DESCRIPTOR::DllNameRVA, facts.delayImports)) {
    facts.error = "unreadable delay-import name";
  } else {
    ReadResources(image, sections, directories[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress,
                  facts);
  }
  return facts;
}

class BuiltFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string image = testsupport::ReadBytes(testsupport::BuiltFile(L"Patch.exe"));
    ASSERT_FALSE(image.empty()) << "Patch.exe not found beside the test program";
    facts_ = ReadPeFacts(image);
    ASSERT_EQ(facts_.error, "");
  }
  PeFacts facts_;
};

TEST_F(BuiltFileTest, IsA32BitWindowsGuiProgram) {
  EXPECT_EQ(facts_.machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(facts_.optionalMagic, IMAGE_NT_OPTIONAL_HDR32_MAGIC) << "not PE32";
  EXPECT_EQ(facts_.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST_F(BuiltFileTest, ImportsOnlyDllsThatShipWithWindows) {
  const std::set<std::string> allowed = {"kernel32.dll", "advapi32.dll", "shell32.dll",
                                         "shlwapi.dll",  "psapi.dll",    "user32.dll",
                                         "msvcrt.dll"};
  // A reader that found nothing would let anything through.
  EXPECT_NE(std::find(facts_.imports.begin(), facts_.imports.end(), "kernel32.dll"),
            facts_.imports.end());
  for (const auto& name : facts_.imports) {
    EXPECT_TRUE(allowed.count(name))
        << "Patch.exe imports " << name << ", which a Windows machine may not have";
  }
  for (const auto& name : facts_.delayImports) {
    EXPECT_TRUE(allowed.count(name)) << "Patch.exe delay-loads " << name;
  }
}

// Without a manifest a 32-bit program named like an installer is elevated or virtualized by its
// name; with one it asks for the rights it needs and declares the systems it knows.
TEST_F(BuiltFileTest, CarriesItsManifestAndVersion) {
  const std::string manifest = facts_.resources[24];  // RT_MANIFEST
  EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"), std::string::npos)
      << "Windows 7";
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos)
      << "Windows 10 and 11";
  const std::string version = facts_.resources[16];  // RT_VERSION
  const auto utf16 = [](const std::string& text) {
    std::string wide;
    for (char c : text) wide += std::string{c, '\0'};
    return wide;
  };
  EXPECT_NE(version.find(utf16("FileVersion")), std::string::npos);
  EXPECT_NE(version.find(utf16("ProductVersion")), std::string::npos);
}

}  // namespace
