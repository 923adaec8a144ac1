// A view of a JsonValue document for the readers of otio_read.h and
// cut_read.h. Over a mutable value, take_string moves strings out, so that a
// document the caller gives up is read without copying its text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/value/json.h"

namespace tesmo {

// J is JsonValue or const JsonValue.
template <class J>
class JsonView {
 public:
  explicit JsonView(J* value) : value_(value) {}

  explicit operator bool() const { return value_ != nullptr; }
  bool is_object() const { return object() != nullptr; }

  JsonView find(std::string_view key) const {
    auto* object = this->object();
    return JsonView(object ? object->find(key) : nullptr);
  }

  std::optional<std::string_view> string() const {
    const std::string* text = string_ptr();
    if (!text) return std::nullopt;
    return std::string_view(*text);
  }

  std::string take_string() const {
    auto* text = string_ptr();
    if (!text) return std::string();
    if constexpr (std::is_const_v<J>) {
      return *text;
    } else {
      return std::move(*text);
    }
  }

  std::optional<double> number() const {
    const JsonNumber* number = value_ ? value_->get_number() : nullptr;
    if (!number) return std::nullopt;
    return number->to_double();
  }

  std::optional<std::size_t> array_size() const {
    auto* array = this->array();
    if (!array) return std::nullopt;
    return array->size();
  }
  JsonView item(std::size_t i) const { return JsonView(&(*array())[i]); }

  std::optional<bool> boolean() const {
    const bool* b = value_ ? value_->get_bool() : nullptr;
    return b ? std::optional<bool>(*b) : std::nullopt;
  }
  std::string canonical() const { return value_ ? canonical_json(*value_) : std::string(); }

 private:
  auto* object() const { return value_ ? std::get_if<JsonObject>(&value_->data) : nullptr; }
  auto* array() const { return value_ ? std::get_if<JsonArray>(&value_->data) : nullptr; }
  auto* string_ptr() const { return value_ ? std::get_if<std::string>(&value_->data) : nullptr; }

  J* value_;
};

}  // namespace tesmo
