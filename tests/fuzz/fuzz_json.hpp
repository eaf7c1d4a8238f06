// JSON helpers shared by the fuzz targets.
#pragma once

#include <algorithm>
#include <cmath>

#include <boost/json/value.hpp>

#include "velmora/base/json_text.hpp"

namespace fuzz {

/// True when a number in `value` is infinite or NaN: the writer prints those as Infinity and
/// NaN, as the service's own JSON library does, and they do not parse back as strict JSON.
inline bool has_non_finite(const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::double_:
      return !std::isfinite(value.get_double());
    case boost::json::kind::array:
      for (const auto& item : value.get_array()) {
        if (has_non_finite(item)) return true;
      }
      return false;
    case boost::json::kind::object:
      for (const auto& [key, item] : value.get_object()) {
        if (has_non_finite(item)) return true;
      }
      return false;
    default:
      return false;
  }
}

/// Equality as written: NaN equals NaN (Boost.JSON 1.81 reads "0e400" as NaN) and -0.0 differs
/// from 0.0.
inline bool same_json(const boost::json::value& a, const boost::json::value& b) {
  return velmora::base::json_dumps(a) == velmora::base::json_dumps(b);
}

/// Equality up to a few units in the last place of each number: Boost.JSON 1.81 reads numbers
/// imprecisely ("5e32" is one unit off), so a written-and-read number may move that much.
inline bool close_json(const boost::json::value& a, const boost::json::value& b) {
  if (a.is_number() && b.is_number() && (a.is_double() || b.is_double())) {
    const double x = a.to_number<double>();
    const double y = b.to_number<double>();
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
    return x == y || std::fabs(x - y) <= 1e-15 * std::max(std::fabs(x), std::fabs(y));
  }
  if (a.kind() != b.kind()) return false;
  if (a.is_array()) {
    const auto& l = a.get_array();
    const auto& r = b.get_array();
    if (l.size() != r.size()) return false;
    for (std::size_t i = 0; i < l.size(); ++i) {
      if (!close_json(l[i], r[i])) return false;
    }
    return true;
  }
  if (a.is_object()) {
    const auto& l = a.get_object();
    const auto& r = b.get_object();
    if (l.size() != r.size()) return false;
    for (auto i = l.begin(), k = r.begin(); i != l.end(); ++i, ++k) {
      if (i->key() != k->key() || !close_json(i->value(), k->value())) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace fuzz
