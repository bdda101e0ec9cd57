// The registry through the Windows API. Every HKEY is owned by a KeyHandle.

#include "platform/registry.h"

#include <algorithm>
#include <vector>

#include "platform/errors.h"
#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

using win32::U;
using win32::W;

bool IsPredefined(HKEY key) {
  return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS ||
         key == HKEY_CURRENT_CONFIG || key == HKEY_PERFORMANCE_DATA;
}

// Owns one open key. Opening the empty path below a root may give the
// predefined handle itself, which is never closed.
class KeyHandle {
 public:
  KeyHandle() = default;
  explicit KeyHandle(HKEY key) : key_(key) {}
  ~KeyHandle() { Reset(); }
  KeyHandle(KeyHandle&& other) noexcept : key_(other.Release()) {}
  KeyHandle& operator=(KeyHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      key_ = other.Release();
    }
    return *this;
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;

  HKEY get() const { return key_; }
  HKEY Release() {
    HKEY key = key_;
    key_ = nullptr;
    return key;
  }
  void Reset() {
    if (key_ != nullptr && !IsPredefined(key_)) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

HKEY PredefinedKey(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::kClassesRoot: return HKEY_CLASSES_ROOT;
    case RegistryRoot::kCurrentUser: return HKEY_CURRENT_USER;
    case RegistryRoot::kLocalMachine: return HKEY_LOCAL_MACHINE;
    case RegistryRoot::kUsers: return HKEY_USERS;
    case RegistryRoot::kCurrentConfig: return HKEY_CURRENT_CONFIG;
  }
  return nullptr;
}

// Buffers grow from the sizes the system reports; a value that keeps growing
// meanwhile gives up after a few rounds.
constexpr int kRetries = 8;

// The longest value name the registry allows, plus its terminator.
constexpr DWORD kValueNameUnits = 16384;

uint32_t Open(HKEY parent, const std::u16string& path, uint32_t options, uint32_t access,
              std::unique_ptr<RegistryKey>* key);
uint32_t Create(HKEY parent, const std::u16string& path, uint32_t options, std::unique_ptr<RegistryKey>* key);
uint32_t Delete(HKEY parent, const std::u16string& path);

class WinRegistryKey final : public RegistryKey {
 public:
  explicit WinRegistryKey(KeyHandle key) : key_(std::move(key)) {}

  uint32_t EnumKey(uint32_t index, std::u16string* name, size_t max_units) override {
    // Key names hold at most 255 units, a few more under Wine.
    if (key_name_buffer_.empty()) key_name_buffer_.resize(512);
    LONG result = ERROR_MORE_DATA;
    DWORD length = 0;
    for (int round = 0; round < kRetries && result == ERROR_MORE_DATA; ++round) {
      length = static_cast<DWORD>(key_name_buffer_.size());
      result = RegEnumKeyExW(key_.get(), index, key_name_buffer_.data(), &length, /*lpReserved=*/nullptr,
                             /*lpClass=*/nullptr, /*lpcchClass=*/nullptr, /*lpftLastWriteTime=*/nullptr);
      if (result == ERROR_MORE_DATA) key_name_buffer_.resize(key_name_buffer_.size() * 4);
    }
    if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
    *name = U(key_name_buffer_.data(), length);
    if (name->size() <= max_units) return kErrorSuccess;
    name->resize(max_units);
    return kErrorMoreData;
  }

  uint32_t EnumValue(uint32_t index, std::u16string* name, uint32_t* type, std::string* data) override {
    if (name_buffer_.empty()) name_buffer_.resize(kValueNameUnits);
    if (data_buffer_.empty()) data_buffer_.resize(1024);
    LONG result = ERROR_MORE_DATA;
    DWORD name_length = 0;
    DWORD data_size = 0;
    DWORD value_type = 0;
    for (int round = 0; round < kRetries && result == ERROR_MORE_DATA; ++round) {
      name_length = static_cast<DWORD>(name_buffer_.size());
      data_size = static_cast<DWORD>(data_buffer_.size());
      result = RegEnumValueW(key_.get(), index, name_buffer_.data(), &name_length, /*lpReserved=*/nullptr,
                             &value_type, data_buffer_.data(), &data_size);
      if (result == ERROR_MORE_DATA) {
        // Either the name or the data did not fit: make room for the largest of both.
        Info info;
        if (QueryInfo(&info) == kErrorSuccess) {
          name_buffer_.resize(std::max<size_t>(name_buffer_.size(), info.max_value_name_length + 1));
          data_size = std::max<DWORD>(data_size, info.max_value_data);
        }
        data_buffer_.resize(std::max<size_t>(data_buffer_.size() * 2, data_size));
      }
    }
    if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
    *name = U(name_buffer_.data(), name_length);
    *type = value_type;
    data->assign(reinterpret_cast<const char*>(data_buffer_.data()), data_size);
    return kErrorSuccess;
  }

  uint32_t QueryValue(const std::u16string& name, uint32_t* type, std::string* data) override {
    std::string buffer(256, '\0');
    LONG result = ERROR_MORE_DATA;
    DWORD size = 0;
    DWORD value_type = 0;
    for (int round = 0; round < kRetries && result == ERROR_MORE_DATA; ++round) {
      size = static_cast<DWORD>(buffer.size());
      result = RegQueryValueExW(key_.get(), W(name), /*lpReserved=*/nullptr, &value_type,
                                reinterpret_cast<BYTE*>(&buffer[0]), &size);
      if (result == ERROR_MORE_DATA) buffer.resize(std::max<size_t>(buffer.size() * 2, size));
    }
    if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
    buffer.resize(size);
    *type = value_type;
    *data = std::move(buffer);
    return kErrorSuccess;
  }

  uint32_t QueryInfo(Info* info) override {
    DWORD subkeys = 0;
    DWORD max_subkey = 0;
    DWORD values = 0;
    DWORD max_value_name = 0;
    DWORD max_value_data = 0;
    FILETIME last_write = {};
    const LONG result = RegQueryInfoKeyW(key_.get(), /*lpClass=*/nullptr, /*lpcchClass=*/nullptr,
                                         /*lpReserved=*/nullptr, &subkeys, &max_subkey, /*lpcbMaxClassLen=*/nullptr,
                                         &values, &max_value_name, &max_value_data,
                                         /*lpcbSecurityDescriptor=*/nullptr, &last_write);
    if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
    info->subkeys = subkeys;
    info->max_subkey_length = max_subkey;
    info->values = values;
    info->max_value_name_length = max_value_name;
    info->max_value_data = max_value_data;
    info->last_write_time =
        static_cast<int64_t>((static_cast<uint64_t>(last_write.dwHighDateTime) << 32) | last_write.dwLowDateTime);
    return kErrorSuccess;
  }

  uint32_t OpenSubKey(const std::u16string& path, uint32_t options, uint32_t access,
                      std::unique_ptr<RegistryKey>* key) override {
    return Open(key_.get(), path, options, access, key);
  }
  uint32_t CreateSubKey(const std::u16string& path, uint32_t options, std::unique_ptr<RegistryKey>* key) override {
    return Create(key_.get(), path, options, key);
  }

  uint32_t SetValue(const std::u16string& name, uint32_t type, const std::string& data) override {
    return static_cast<uint32_t>(RegSetValueExW(key_.get(), W(name), /*Reserved=*/0, type,
                                                reinterpret_cast<const BYTE*>(data.data()),
                                                static_cast<DWORD>(data.size())));
  }
  uint32_t DeleteValue(const std::u16string& name) override {
    return static_cast<uint32_t>(RegDeleteValueW(key_.get(), W(name)));
  }
  uint32_t DeleteSubKey(const std::u16string& name) override {
    if (name.empty()) return kErrorInvalidParameter;
    return Delete(key_.get(), name);
  }

 private:
  KeyHandle key_;
  // Reused by every enumeration of this key (a scan enumerates thousands).
  std::vector<wchar_t> key_name_buffer_;
  std::vector<wchar_t> name_buffer_;
  std::vector<BYTE> data_buffer_;
};

uint32_t Open(HKEY parent, const std::u16string& path, uint32_t options, uint32_t access,
              std::unique_ptr<RegistryKey>* key) {
  HKEY opened = nullptr;
  const DWORD native_options = (options & kRegOptionOpenLink) ? REG_OPTION_OPEN_LINK : 0;
  const LONG result = RegOpenKeyExW(parent, W(path), native_options, access, &opened);
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  *key = std::make_unique<WinRegistryKey>(KeyHandle(opened));
  return kErrorSuccess;
}

uint32_t Create(HKEY parent, const std::u16string& path, uint32_t options, std::unique_ptr<RegistryKey>* key) {
  HKEY created = nullptr;
  const DWORD native_options = (options & kRegOptionCreateLink) ? REG_OPTION_CREATE_LINK : REG_OPTION_NON_VOLATILE;
  DWORD disposition = 0;
  const LONG result = RegCreateKeyExW(parent, W(path), /*Reserved=*/0, /*lpClass=*/nullptr, native_options,
                                      KEY_ALL_ACCESS, /*lpSecurityAttributes=*/nullptr, &created, &disposition);
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  *key = std::make_unique<WinRegistryKey>(KeyHandle(created));
  return kErrorSuccess;
}

// RegDeleteKeyW follows a link and would delete its target (or fail on it):
// the key itself is opened without following and deleted through its handle.
uint32_t Delete(HKEY parent, const std::u16string& path) {
  using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
  using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(LONG);
  static const auto nt_delete_key = reinterpret_cast<NtDeleteKeyFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
  static const auto to_dos_error = reinterpret_cast<RtlNtStatusToDosErrorFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlNtStatusToDosError")));
  if (nt_delete_key == nullptr || to_dos_error == nullptr) return kErrorNotSupported;
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExW(parent, W(path), REG_OPTION_OPEN_LINK, DELETE | KEY_QUERY_VALUE, &opened);
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  KeyHandle key(opened);
  if (IsPredefined(key.get())) return kErrorAccessDenied;
  return static_cast<uint32_t>(to_dos_error(nt_delete_key(key.get())));
}

class WinRegistry final : public Registry {
 public:
  uint32_t OpenKey(RegistryRoot root, const std::u16string& path, uint32_t options, uint32_t access,
                   std::unique_ptr<RegistryKey>* key) override {
    return Open(PredefinedKey(root), path, options, access, key);
  }
  uint32_t CreateKey(RegistryRoot root, const std::u16string& path, uint32_t options,
                     std::unique_ptr<RegistryKey>* key) override {
    return Create(PredefinedKey(root), path, options, key);
  }
  uint32_t DeleteKey(RegistryRoot root, const std::u16string& path) override {
    if (path.empty()) return kErrorAccessDenied;
    return Delete(PredefinedKey(root), path);
  }
};

}  // namespace

template <>
Registry& Facility<Registry>::Real() {
  static WinRegistry instance;
  return instance;
}

}  // namespace orvalinth::platform
