// The slots of one of a form's request queues. A form holds several hundred
// slots of which few are ever used, so a slot is made when first reached
// through a non-const access: one never reached costs a pointer, not its
// strings, and holds a default entry when it is reached.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <vector>

namespace dvrlink {

template <typename T>
class SlotArray {
 public:
  SlotArray() = default;
  explicit SlotArray(size_t count) : slots_(count) {}
  SlotArray(const SlotArray&) = delete;
  SlotArray& operator=(const SlotArray&) = delete;

  size_t size() const { return slots_.size(); }
  // Slot i, made when missing; i must be below size().
  T& operator[](size_t i) {
    std::unique_ptr<T>& slot = slots_[i];
    if (!slot) slot = std::make_unique<T>();
    return *slot;
  }
  // As [], but i at or past size() throws std::out_of_range.
  T& at(size_t i) {
    if (i >= slots_.size()) throw std::out_of_range("slot index out of range");
    return (*this)[i];
  }
  // Slot i when it was ever reached, else nullptr (also past the end).
  const T* Find(size_t i) const { return i < slots_.size() ? slots_[i].get() : nullptr; }
  // `count` slots, all of them default entries again.
  void Reset(size_t count) {
    slots_.clear();
    slots_.resize(count);
  }
  // Grown or cut to `count` slots; the slots kept keep their entries.
  void resize(size_t count) { slots_.resize(count); }

 private:
  std::vector<std::unique_ptr<T>> slots_;
};

}  // namespace dvrlink
