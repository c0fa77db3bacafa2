// Move-only owners, one per kind of Windows resource. Each knows its invalid
// value, releases through the OS boundary and leaves the thread's last error
// as it found it, so that a caller may still read the error of the call that
// failed after its resources have been released.
#pragma once

#include <utility>

#include "os/api.h"

namespace os {

// Keeps the thread's last-error value across a scope.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : _dwError(api.GetLastError()) {}
  ~LastErrorKeeper() { api.SetLastError(_dwError); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD _dwError;
};

template <class Traits> class Owner {
 public:
  using Value = typename Traits::Value;

  Owner() = default;
  explicit Owner(Value v) : _v(v) {}
  ~Owner() { reset(); }
  Owner(Owner&& other) noexcept : _v(other.release()) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  Value get() const { return _v; }
  bool valid() const { return _v != Traits::Invalid(); }
  explicit operator bool() const { return valid(); }

  // Releases what is held and gives the address for an out-parameter.
  Value* put() {
    reset();
    return &_v;
  }

  Value release() {
    Value v = _v;
    _v = Traits::Invalid();
    return v;
  }

  void reset(Value v = Traits::Invalid()) {
    if (valid()) {
      LastErrorKeeper keep;
      Traits::Close(_v);
    }
    _v = v;
  }

 private:
  Value _v = Traits::Invalid();
};

struct FileHandleTraits {  // files and devices: INVALID_HANDLE_VALUE
  using Value = HANDLE;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value v) { api.CloseHandle(v); }
};
struct KernelHandleTraits {  // mutexes and the like: NULL
  using Value = HANDLE;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { api.CloseHandle(v); }
};
struct RegKeyTraits {
  using Value = HKEY;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { api.RegCloseKey(v); }
};
struct DevInfoTraits {
  using Value = HDEVINFO;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value v) { api.SetupDiDestroyDeviceInfoList(v); }
};
struct ModuleTraits {
  using Value = HMODULE;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { api.FreeLibrary(v); }
};
struct LocalTraits {
  using Value = HLOCAL;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { api.LocalFree(v); }
};
struct HeapTraits {  // blocks of the process heap
  using Value = LPVOID;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { api.HeapFree(api.GetProcessHeap(), 0, v); }
};
struct SidTraits {
  using Value = PSID;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { api.FreeSid(v); }
};
struct BstrTraits {
  using Value = BSTR;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { api.SysFreeString(v); }
};

using FileHandle = Owner<FileHandleTraits>;
using KernelHandle = Owner<KernelHandleTraits>;
using RegKey = Owner<RegKeyTraits>;
using DevInfo = Owner<DevInfoTraits>;
using Module = Owner<ModuleTraits>;
using LocalMem = Owner<LocalTraits>;
using HeapMem = Owner<HeapTraits>;
using Sid = Owner<SidTraits>;
using Bstr = Owner<BstrTraits>;

// A VARIANT that is initialised on construction and cleared on every path.
class Variant {
 public:
  Variant() { api.VariantInit(&_v); }
  ~Variant() {
    LastErrorKeeper keep;
    api.VariantClear(&_v);
  }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  VARIANT* get() { return &_v; }
  const VARIANT& operator*() const { return _v; }

 private:
  VARIANT _v;
};

// A counted reference to a COM interface, released when it goes.
template <class T> class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(ComPtr&& other) noexcept : _p(std::exchange(other._p, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      _p = std::exchange(other._p, nullptr);
    }
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* get() const { return _p; }
  T* operator->() const { return _p; }
  explicit operator bool() const { return _p != nullptr; }

  T** put() {
    reset();
    return &_p;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

  void reset() {
    if (_p) {
      LastErrorKeeper keep;
      std::exchange(_p, nullptr)->Release();
    }
  }

 private:
  T* _p = nullptr;
};

}  // namespace os
