#pragma once
// The registry. On win32 the real one; on POSIX an in-memory emulation with
// the semantics the program relies on (platform/posix/registry_emulation.h),
// which tests fill.
//
// Order: subkeys are enumerated in name order (unit by unit with A-Z folded,
// as the system keeps them), values in the order they were first set.
// Names are compared with A-Z folded. Paths are key names separated by "\";
// empty components are skipped, a leading "\" is refused (161).
//
// Links: a key created with kRegOptionCreateLink is a symbolic link; its
// REG_LINK value "SymbolicLinkValue" holds the native path of the target
// ("\Registry\Machine\..." or "\Registry\User\...", UTF-16 without a
// terminating zero, RegLinkData). Opening or creating a path through a link
// follows it, except that kRegOptionOpenLink opens a link that is the last
// component itself: then it shows no subkeys and its one value.
//
// Every operation returns a Windows error code: 0 on success, 2 for a missing
// key or value (also a link whose target is missing), 259 (kErrorNoMoreItems)
// after the last subkey or value, 234 (kErrorMoreData) when a name did not fit,
// 5 for access denied or deleting a key that has subkeys, 161 for a path
// starting with "\", 183 for creating a link where a key exists, 87 for links
// that lead round in a circle, 1018 on a key deleted since it was opened, 6 on
// a key of an emulated registry that was reset since.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/facility.h"

namespace orvalinth::platform {

// The predefined root keys.
enum class RegistryRoot {
  kClassesRoot,
  kCurrentUser,
  kLocalMachine,
  kUsers,
  kCurrentConfig,
};

// Value types.
enum : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegDwordBigEndian = 5,
  kRegLink = 6,
  kRegMultiSz = 7,
  kRegResourceList = 8,
  kRegFullResourceDescriptor = 9,
  kRegResourceRequirementsList = 10,
  kRegQword = 11,
};

// Options of opening and creating keys.
enum : uint32_t {
  kRegOptionNone = 0,
  kRegOptionCreateLink = 0x2,  // create the key as a symbolic link (give it a REG_LINK "SymbolicLinkValue")
  kRegOptionOpenLink = 0x8,    // open a link key itself rather than its target
};

// Access wanted when opening.
enum : uint32_t {
  kRegRead = 0x20019,   // KEY_READ
  kRegWrite = 0x20006,  // KEY_WRITE
};

// The value of a link key that holds its target.
inline constexpr char16_t kSymbolicLinkValueName[] = u"SymbolicLinkValue";

class RegistryKey {
 public:
  virtual ~RegistryKey() = default;

  // Subkey number `index` (0, 1, 2, ... in the system's order). A name longer
  // than `max_units` is cut to that many units and gives kErrorMoreData.
  virtual uint32_t EnumKey(uint32_t index, std::u16string* name, size_t max_units) = 0;
  // Value number `index`: its name, type and data bytes.
  virtual uint32_t EnumValue(uint32_t index, std::u16string* name, uint32_t* type, std::string* data) = 0;
  // The value `name` (the empty name is the key's default value).
  virtual uint32_t QueryValue(const std::u16string& name, uint32_t* type, std::string* data) = 0;

  struct Info {
    uint32_t subkeys = 0;
    uint32_t max_subkey_length = 0;     // units
    uint32_t values = 0;
    uint32_t max_value_name_length = 0; // units
    uint32_t max_value_data = 0;        // bytes
    int64_t last_write_time = 0;        // FILETIME (UTC) of the key's last change
  };
  virtual uint32_t QueryInfo(Info* info) = 0;

  // Opens and creates keys below this one (`path` may hold several components
  // separated by backslashes). Created keys are open for reading and writing.
  // With kRegOptionCreateLink the last component must not exist yet (183).
  virtual uint32_t OpenSubKey(const std::u16string& path, uint32_t options, uint32_t access,
                              std::unique_ptr<RegistryKey>* key) = 0;
  virtual uint32_t CreateSubKey(const std::u16string& path, uint32_t options, std::unique_ptr<RegistryKey>* key) = 0;

  virtual uint32_t SetValue(const std::u16string& name, uint32_t type, const std::string& data) = 0;
  virtual uint32_t DeleteValue(const std::u16string& name) = 0;
  // Deletes the subkey `name`, which must have no subkeys of its own (else 5).
  // A link is deleted itself, never its target.
  virtual uint32_t DeleteSubKey(const std::u16string& name) = 0;
};

class Registry : public Facility<Registry> {
 public:
  virtual ~Registry() = default;
  // Opens `path` below `root` (the empty path opens the root itself).
  virtual uint32_t OpenKey(RegistryRoot root, const std::u16string& path, uint32_t options, uint32_t access,
                           std::unique_ptr<RegistryKey>* key) = 0;
  // Opens `path`, creating the missing keys on the way (also at the target of
  // a link on the way); see CreateSubKey.
  virtual uint32_t CreateKey(RegistryRoot root, const std::u16string& path, uint32_t options,
                             std::unique_ptr<RegistryKey>* key) = 0;
  // Deletes the key `path` (which must have no subkeys; a link is deleted
  // itself). A root itself is never deleted (5).
  virtual uint32_t DeleteKey(RegistryRoot root, const std::u16string& path) = 0;
};

template <>
Registry& Facility<Registry>::Real();

// Helpers for value data.
std::string RegSzData(const std::u16string& text);  // UTF-16LE with a terminating zero unit
std::string RegDwordData(uint32_t value);            // four bytes, little-endian
std::string RegLinkData(const std::u16string& native_path);  // UTF-16LE without a terminating zero
// The text of string data: UTF-16LE units up to the first zero unit (an odd
// last byte is dropped).
std::u16string RegDataText(const std::string& data);

}  // namespace orvalinth::platform
