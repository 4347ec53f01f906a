// Creates the host's and the DVR API's objects by ProgID, as the component's
// late-bound creation did. The service registers the real implementations; a
// test registers fakes, or removes an entry so that creation fails.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <typeindex>

#include "platform/object_ref.h"
#include "support/runtime_error.h"

namespace dvrlink {

class ObjectFactory {
 public:
  template <class T>
  void Register(const std::string& prog_id, std::function<std::shared_ptr<T>()> make) {
    entries_.insert_or_assign(prog_id, Entry{std::type_index(typeid(T)),
                                             [make = std::move(make)]() -> std::shared_ptr<void> {
                                               return make();
                                             }});
  }
  void Unregister(const std::string& prog_id) { entries_.erase(prog_id); }
  bool IsRegistered(const std::string& prog_id) const { return entries_.count(prog_id) != 0; }

  // A new object of the class. Raises 429 "ActiveX component can't create
  // object" when the ProgID is unknown or its maker gives nothing, 13 when it
  // is registered for another interface.
  template <class T>
  Ref<T> Create(const std::string& prog_id) const {
    auto it = entries_.find(prog_id);
    if (it == entries_.end()) DVR_RAISE(kErrCantCreate);
    if (it->second.type != std::type_index(typeid(T))) DVR_RAISE(kErrTypeMismatch);
    std::shared_ptr<void> object = it->second.make();
    if (!object) DVR_RAISE(kErrCantCreate);
    return Ref<T>(std::static_pointer_cast<T>(object));
  }

 private:
  struct Entry {
    std::type_index type;
    std::function<std::shared_ptr<void>()> make;
  };
  std::map<std::string, Entry> entries_;
};

}  // namespace dvrlink
