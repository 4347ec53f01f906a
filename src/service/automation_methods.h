// What the automation endpoint offers of clsDvrlink: its public methods
// (except Initialize and DeviceFormClose, which belong to the service) and
// its properties, each with its parameter types, and the conversions of JSON
// arguments to those types as the automation layer makes them.
//
// Adding a method is one entry in the table of automation_methods.cpp:
//   {"StopAlarm", {{"Camera", ArgType::kText}},
//    [](clsDvrlink& c, Args& a) { return Json(c.StopAlarm(a.Text(0))); }},
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/net/json_text.h"

namespace dvrlink {

class clsDvrlink;

enum class ArgType {
  kInt16,         // 16-bit signed ("Integer")
  kInt32,         // 32-bit signed ("Long")
  kText,
  kBoolean,
  kBooleanArray,
  kTextArray,
  kObject,        // object reference (properties only)
};

const char* ArgTypeName(ArgType type);

struct ParamInfo {
  const char* name;
  ArgType type;
  bool optional = false;
};

using ArgValue = std::variant<std::monostate, int16_t, int32_t, std::string, bool, std::vector<bool>,
                              std::vector<std::string>>;

// Converted arguments, by position. Arrays are handed by reference, as the
// component's by-reference array parameters are.
class Args {
 public:
  explicit Args(std::vector<ArgValue> values) : values_(std::move(values)) {}
  size_t size() const { return values_.size(); }
  bool Has(size_t i) const { return i < values_.size(); }
  int16_t I16(size_t i) const { return std::get<int16_t>(values_.at(i)); }
  int32_t I32(size_t i) const { return std::get<int32_t>(values_.at(i)); }
  const std::string& Text(size_t i) const { return std::get<std::string>(values_.at(i)); }
  bool Bool(size_t i) const { return std::get<bool>(values_.at(i)); }
  std::vector<bool>& BoolArray(size_t i) { return std::get<std::vector<bool>>(values_.at(i)); }
  std::vector<std::string>& TextArray(size_t i) { return std::get<std::vector<std::string>>(values_.at(i)); }

 private:
  std::vector<ArgValue> values_;
};

struct MethodEntry {
  const char* name;
  std::vector<ParamInfo> params;
  // Returns the result (null for a method without one). Errors the method
  // lets through reach the caller as RuntimeError.
  std::function<Json(clsDvrlink&, Args&)> call;
};

struct PropertyEntry {
  const char* name;
  ArgType type;
  std::function<Json(clsDvrlink&)> get;
  // The value arrives converted to `type` (for kObject: only null, meaning
  // Nothing, gets here).
  std::function<void(clsDvrlink&, Args&)> set;
};

const std::vector<MethodEntry>& AutomationMethods();
const std::vector<PropertyEntry>& AutomationProperties();
// Looked up without regard to letter case, as automation names are; nullptr
// when absent.
const MethodEntry* FindMethod(std::string_view name);
const PropertyEntry* FindProperty(std::string_view name);

// A JSON value converted to the type as the automation layer converts a
// variant: numbers to 16/32 bits rounding halves to even (6 when out of
// range), numeric texts likewise (13 when not a number), booleans to -1/0
// and from numbers (non-zero is True) or the texts True/False, numbers and
// booleans to text, arrays element by element. null raises 94 "Invalid use
// of Null"; a value of the wrong kind (an object, an array for a scalar, a
// scalar for an array) raises 13.
ArgValue ConvertArg(const Json& value, ArgType type);

// The automation layer's text of a number (CStr): integers in decimal,
// others with up to 15 significant digits ("1.5", "1E+20").
std::string NumberText(double value);

}  // namespace dvrlink
