// A reference-counted owning pointer. The count is a separately allocated
// signed 8-bit counter shared by all copies; it is not atomic, so copies are
// made and released by one owner's threads in a fixed order.
// A count that reaches 127 stays there: the object then lives on rather
// than being deleted while a copy still points at it.
#pragma once

#include <cstdint>
#include <new>

template <typename T>
class TSmartPtr {
 public:
  TSmartPtr() : m_object(nullptr), m_count(nullptr) {}
  explicit TSmartPtr(T* object) : m_object(nullptr), m_count(nullptr) { Assign(object); }
  TSmartPtr(const TSmartPtr& other) : m_object(nullptr), m_count(nullptr) { Share(other); }
  ~TSmartPtr() { Release(); }

  TSmartPtr& operator=(const TSmartPtr& other) {
    if (this != &other && other.m_count != m_count) {
      Release();
      Share(other);
    }
    return *this;
  }
  // Releases the old object and owns the new one with a count of 1.
  TSmartPtr& operator=(T* object) {
    if (object != m_object) Assign(object);  // re-assigning the held object keeps it
    return *this;
  }

  T* Get() const { return m_object; }
  T* operator->() const { return m_object; }
  T& operator*() const { return *m_object; }
  explicit operator bool() const { return m_object != nullptr; }
  bool operator==(const T* p) const { return m_object == p; }
  bool operator!=(const T* p) const { return m_object != p; }

  void Release() {
    if (m_count != nullptr) {
      if (*m_count > 0 && *m_count < kPinned && --*m_count == 0) {
        delete m_object;
        delete m_count;
      }
    }
    m_object = nullptr;
    m_count = nullptr;
  }

 private:
  void Assign(T* object) {
    Release();
    if (object == nullptr) return;
    m_count = new (std::nothrow) int8_t(1);
    if (m_count == nullptr) {
      delete object;
      return;
    }
    m_object = object;
  }
  void Share(const TSmartPtr& other) {
    if (other.m_count != nullptr && *other.m_count > 0) {
      m_object = other.m_object;
      m_count = other.m_count;
      if (*m_count < kPinned) ++*m_count;
    }
  }

  static constexpr int8_t kPinned = 127;

  T* m_object;
  int8_t* m_count;
};
