#include "api/text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace vorn {

std::string quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string format_f64(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

std::string describe_unexpected(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return value.get<bool>() ? "boolean `true`" : "boolean `false`";
    case Json::value_t::number_integer:
      return "integer `" + std::to_string(value.get<std::int64_t>()) + "`";
    case Json::value_t::number_unsigned:
      return "integer `" + std::to_string(value.get<std::uint64_t>()) + "`";
    case Json::value_t::number_float: {
      double d = value.get<double>();
      std::string s = format_f64(d);
      if (std::isfinite(d) && s.find('.') == std::string::npos) s += ".0";
      return "floating point `" + s + "`";
    }
    case Json::value_t::string:
      return "string " + quote(value.get_ref<const std::string&>());
    case Json::value_t::array:
      return "sequence";
    case Json::value_t::object:
      return "map";
    default:
      return "unknown";
  }
}

}  // namespace vorn
