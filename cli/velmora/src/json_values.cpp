#include "velmora/json_values.hpp"

#include "velmora/base/json_text.hpp"

namespace velmora {

namespace json = boost::json;

bool json_falsy(const json::value* value) {
  if (value == nullptr) return true;
  switch (value->kind()) {
    case json::kind::null:
      return true;
    case json::kind::bool_:
      return !value->get_bool();
    case json::kind::int64:
      return value->get_int64() == 0;
    case json::kind::uint64:
      return value->get_uint64() == 0;
    case json::kind::double_:
      return value->get_double() == 0.0;
    case json::kind::string:
      return value->get_string().empty();
    case json::kind::array:
      return value->get_array().empty();
    case json::kind::object:
      return value->get_object().empty();
  }
  return true;
}

std::string json_to_text(const json::value& value) {
  switch (value.kind()) {
    case json::kind::null:
      return "None";
    case json::kind::bool_:
      return value.get_bool() ? "True" : "False";
    case json::kind::int64:
      return std::to_string(value.get_int64());
    case json::kind::uint64:
      return std::to_string(value.get_uint64());
    case json::kind::double_:
      return velmora::base::format_double(value.get_double());
    case json::kind::string:
      return std::string(value.get_string());
    case json::kind::array:
    case json::kind::object:
      return velmora::base::json_dumps(value);
  }
  return {};
}

std::string truthy_text(const json::value* value) {
  if (json_falsy(value)) return {};
  return json_to_text(*value);
}

}  // namespace velmora
