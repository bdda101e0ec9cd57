#pragma once
// The version information of executables: which files have it, how it is
// read, and the reading plugged into a snapshot's executable-version table.

#include <cstddef>
#include <string>

namespace orvalinth {

class CXExeVersionTable;
struct SXExeVersion;

// 1 with `out` filled when the file has usable version information, else 0
// (`out` then holds no strings and version 0). The file version comes from
// the fixed information; the strings ProductVersion, FileVersion,
// CompanyName, ProductName, FileDescription and Comments from the string
// table of the block's first translation, or, when that gives neither
// ProductVersion nor FileVersion, from the string table that
// HandParseTranslationKey finds.
int ReadVersionInfo(const std::u16string& path, SXExeVersion* out);

// The translation key ("040904b0") of a version block read by hand, for
// blocks whose translation table is missing: the block (as its root states
// it, inside `size`) must hold at least 130 bytes, its root have type 0, the
// key "VS_VERSION_INFO" and a value starting with 0xFEEF04BD. Then the first
// child decides: "StringFileInfo" gives the first eight units of its first
// string table's name (a table with a value length of 0), "VarFileInfo" the
// first language and code page of its first child "Translation" as
// "%04x%04x". Empty when there is no key.
std::u16string HandParseTranslationKey(const void* block, size_t size);

// Makes ReadVersionInfo the table's reading of version information.
void InstallVersionReader(CXExeVersionTable& table);

// True when a file of this name is one whose version information is read:
// the low bytes of its last four units, A-Z lower-cased, are one of ".tlb",
// ".exe", ".api", ".dll", ".cpl", ".com", ".fon", ".scr", ".hxs", ".sys",
// ".drv", ".ocx". Names of four units or fewer never are.
bool HasVersionInfoExtension(const std::u16string& name);

}  // namespace orvalinth
