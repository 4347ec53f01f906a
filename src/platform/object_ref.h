// Ref<T>: an object reference as the automation platform has them. Shared
// ownership (the objects are reference counted there too); a member call on
// an empty reference raises "Object variable or With block variable not set"
// (91) instead of crashing.
#pragma once

#include <memory>
#include <utility>

#include "support/runtime_error.h"

namespace dvrlink {

template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  Ref(std::shared_ptr<T> p) : p_(std::move(p)) {}
  template <class U>
  Ref(const Ref<U>& other) : p_(other.shared()) {}

  T* operator->() const {
    if (!p_) DVR_RAISE(kErrObjectNotSet);
    return p_.get();
  }
  T& operator*() const {
    if (!p_) DVR_RAISE(kErrObjectNotSet);
    return *p_;
  }
  // "Is Nothing" is !ref.
  explicit operator bool() const { return static_cast<bool>(p_); }
  bool IsNothing() const { return !p_; }
  void Clear() { p_.reset(); }
  T* get() const { return p_.get(); }
  const std::shared_ptr<T>& shared() const { return p_; }

 private:
  std::shared_ptr<T> p_;
};

}  // namespace dvrlink
