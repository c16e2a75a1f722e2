#pragma once

#include <windows.h>

#include <string>
#include <utility>

#include "runtime/result.h"

namespace zarvi::wasapi {

// Owns one reference to a COM object.
template <typename Interface>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      pointer_ = std::exchange(other.pointer_, nullptr);
    }
    return *this;
  }

  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  Interface& operator*() const { return *pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  // For a call that hands out a new reference: what it held is released first.
  Interface** put() {
    reset();
    return &pointer_;
  }
  void** putVoid() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (pointer_ != nullptr) std::exchange(pointer_, nullptr)->Release();
  }

 private:
  Interface* pointer_ = nullptr;
};

// Frees with CoTaskMemFree what a COM call allocated for its caller (an endpoint id, a mix format).
template <typename Type>
class CoTaskMemory {
 public:
  CoTaskMemory() = default;
  ~CoTaskMemory() { ::CoTaskMemFree(pointer_); }
  CoTaskMemory(const CoTaskMemory&) = delete;
  CoTaskMemory& operator=(const CoTaskMemory&) = delete;
  Type* get() const { return pointer_; }
  Type* operator->() const { return pointer_; }
  Type** put() {
    ::CoTaskMemFree(std::exchange(pointer_, nullptr));
    return &pointer_;
  }

 private:
  Type* pointer_ = nullptr;
};

// Joins the calling thread to the process's multithreaded apartment for the life of the object.
// The main thread joins it first and never leaves, so the apartment lasts as long as the process.
class ComScope {
 public:
  ComScope() : result_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT result_;
};

// "<what the system says it means> (0x88890004)": the name of an audio client error, or the system's
// message for any other.
Failure describeResult(HRESULT result);

std::string toUtf8(const wchar_t* text);
std::wstring toWide(const std::string& text);

}  // namespace zarvi::wasapi
