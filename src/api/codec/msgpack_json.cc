#include "api/codec/msgpack_json.h"

#include <msgpack.hpp>

#include <cstring>
#include <limits>
#include <utility>

namespace vorn {
namespace {

// ---------------------------------------------------------------------------------
// Encoding, through msgpack-c's packer (its integer and header choices are the
// shortest forms required; the unit tests pin them byte by byte), except float 64.

struct VectorStream {
  std::vector<std::uint8_t>* out;
  void write(const char* data, std::size_t size) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(data);
    out->insert(out->end(), p, p + size);
  }
};

using Packer = msgpack::packer<VectorStream>;

constexpr std::size_t kMaxLength = std::numeric_limits<std::uint32_t>::max();

// Recursion is bounded by kMaxMsgpackDepth + 1 frames.
bool pack_json(Packer& pk, VectorStream& stream, const Json& value, std::size_t depth,
               std::string& error) {
  switch (value.type()) {
    case Json::value_t::null:
      pk.pack_nil();
      return true;
    case Json::value_t::boolean:
      if (value.get<bool>()) {
        pk.pack_true();
      } else {
        pk.pack_false();
      }
      return true;
    case Json::value_t::number_unsigned:
      pk.pack_uint64(value.get<std::uint64_t>());
      return true;
    case Json::value_t::number_integer: {
      const auto i = value.get<std::int64_t>();
      if (i >= 0) {
        pk.pack_uint64(static_cast<std::uint64_t>(i));
      } else {
        pk.pack_int64(i);
      }
      return true;
    }
    case Json::value_t::number_float: {
      // Written by hand: msgpack-c's pack_double packs integral doubles (5.0) as
      // integers, and every non-integer JSON number must stay float 64.
      std::uint64_t bits;
      const double d = value.get<double>();
      std::memcpy(&bits, &d, sizeof bits);
      char buf[9];
      buf[0] = static_cast<char>(0xcb);
      for (int i = 0; i < 8; ++i) buf[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
      stream.write(buf, sizeof buf);
      return true;
    }
    case Json::value_t::string: {
      const auto& s = value.get_ref<const std::string&>();
      if (s.size() > kMaxLength) {
        error = "string longer than 2^32-1 bytes";
        return false;
      }
      pk.pack_str(static_cast<std::uint32_t>(s.size()));
      pk.pack_str_body(s.data(), static_cast<std::uint32_t>(s.size()));
      return true;
    }
    case Json::value_t::array: {
      if (depth >= kMaxMsgpackDepth) {
        error = "value nested deeper than 1024 levels";
        return false;
      }
      if (value.size() > kMaxLength) {
        error = "array longer than 2^32-1 elements";
        return false;
      }
      pk.pack_array(static_cast<std::uint32_t>(value.size()));
      for (const auto& element : value) {
        if (!pack_json(pk, stream, element, depth + 1, error)) return false;
      }
      return true;
    }
    case Json::value_t::object: {
      if (depth >= kMaxMsgpackDepth) {
        error = "value nested deeper than 1024 levels";
        return false;
      }
      if (value.size() > kMaxLength) {
        error = "object larger than 2^32-1 entries";
        return false;
      }
      pk.pack_map(static_cast<std::uint32_t>(value.size()));
      // Json objects are std::map based: iteration is in ascending byte order of keys.
      for (const auto& [key, member] : value.items()) {
        if (key.size() > kMaxLength) {
          error = "object key longer than 2^32-1 bytes";
          return false;
        }
        pk.pack_str(static_cast<std::uint32_t>(key.size()));
        pk.pack_str_body(key.data(), static_cast<std::uint32_t>(key.size()));
        if (!pack_json(pk, stream, member, depth + 1, error)) return false;
      }
      return true;
    }
    case Json::value_t::binary:
      error = "binary value has no MessagePack JSON form";
      return false;
    case Json::value_t::discarded:
      break;
  }
  error = "discarded value has no MessagePack form";
  return false;
}

bool append_json(std::vector<std::uint8_t>& out, const Json& value, std::string& error) {
  VectorStream stream{&out};
  Packer pk(stream);
  return pack_json(pk, stream, value, 0, error);
}

void append_str(std::vector<std::uint8_t>& out, std::string_view text) {
  VectorStream stream{&out};
  Packer pk(stream);
  pk.pack_str(static_cast<std::uint32_t>(text.size()));
  pk.pack_str_body(text.data(), static_cast<std::uint32_t>(text.size()));
}

// ---------------------------------------------------------------------------------
// Decoding: a small bounds-checked reader; containers are filled iteratively with an
// explicit stack of at most kMaxMsgpackDepth frames.

class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }

  bool byte(std::uint8_t& out) {
    if (remaining() < 1) return false;
    out = bytes_[pos_++];
    return true;
  }
  // Big-endian unsigned integer of `width` bytes (1, 2, 4 or 8).
  bool uint(std::size_t width, std::uint64_t& out) {
    if (remaining() < width) return false;
    out = 0;
    for (std::size_t i = 0; i < width; ++i) out = (out << 8) | bytes_[pos_ + i];
    pos_ += width;
    return true;
  }
  bool bytes(std::size_t count, const std::uint8_t*& out) {
    if (remaining() < count) return false;
    out = bytes_.data() + pos_;
    pos_ += count;
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

const char* const kTruncated = "unexpected end of data";

// One MessagePack item header, with a scalar's or a str's value already read.
struct Head {
  enum Kind { kScalar, kStr, kArray, kMap, kBin, kExt } kind = kScalar;
  Json scalar;          // kScalar
  std::string text;     // kStr (only when materialised)
  std::uint64_t count = 0;  // kArray / kMap: declared elements / entries
};

std::string length_error(std::uint64_t declared, std::size_t remaining, const char* what) {
  return "declared " + std::string(what) + " length " + std::to_string(declared) +
         " exceeds the " + std::to_string(remaining) + " remaining bytes";
}

// Reads one header. Bin and ext payloads are consumed (and reported as such); str
// bodies are copied into `head.text` only when `materialise`.
bool read_head(Cursor& c, Head& head, bool materialise, std::string& error) {
  std::uint8_t m;
  if (!c.byte(m)) {
    error = kTruncated;
    return false;
  }
  auto truncated = [&] {
    error = kTruncated;
    return false;
  };
  auto str_body = [&](std::uint64_t len) {
    if (len > c.remaining()) {
      error = length_error(len, c.remaining(), "str");
      return false;
    }
    const std::uint8_t* p;
    c.bytes(static_cast<std::size_t>(len), p);
    head.kind = Head::kStr;
    if (materialise) head.text.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(len));
    return true;
  };
  auto skip_body = [&](std::uint64_t len, Head::Kind kind, const char* what) {
    if (len > c.remaining()) {
      error = length_error(len, c.remaining(), what);
      return false;
    }
    const std::uint8_t* p;
    c.bytes(static_cast<std::size_t>(len), p);
    head.kind = kind;
    return true;
  };
  auto container = [&](std::uint64_t n, Head::Kind kind) {
    // Every element takes at least one byte, every map entry at least two.
    const std::uint64_t min_bytes = kind == Head::kMap ? 2 * n : n;
    if (min_bytes > c.remaining()) {
      error = length_error(n, c.remaining(), kind == Head::kMap ? "map" : "array");
      return false;
    }
    head.kind = kind;
    head.count = n;
    return true;
  };
  std::uint64_t u;
  if (m <= 0x7f) {
    head.kind = Head::kScalar;
    head.scalar = static_cast<std::uint64_t>(m);
    return true;
  }
  if (m >= 0xe0) {
    head.kind = Head::kScalar;
    head.scalar = static_cast<std::int64_t>(static_cast<std::int8_t>(m));
    return true;
  }
  if ((m & 0xf0) == 0x80) return container(m & 0x0f, Head::kMap);
  if ((m & 0xf0) == 0x90) return container(m & 0x0f, Head::kArray);
  if ((m & 0xe0) == 0xa0) return str_body(m & 0x1f);
  switch (m) {
    case 0xc0:
      head.kind = Head::kScalar;
      head.scalar = nullptr;
      return true;
    case 0xc2:
    case 0xc3:
      head.kind = Head::kScalar;
      head.scalar = (m == 0xc3);
      return true;
    case 0xc4:
    case 0xc5:
    case 0xc6:
      if (!c.uint(std::size_t{1} << (m - 0xc4), u)) return truncated();
      return skip_body(u, Head::kBin, "bin");
    case 0xc7:
    case 0xc8:
    case 0xc9:
      if (!c.uint(std::size_t{1} << (m - 0xc7), u)) return truncated();
      return skip_body(u + 1, Head::kExt, "ext");  // type byte + data
    case 0xca: {
      if (!c.uint(4, u)) return truncated();
      float f;
      const auto bits = static_cast<std::uint32_t>(u);
      std::memcpy(&f, &bits, sizeof f);
      head.kind = Head::kScalar;
      head.scalar = static_cast<double>(f);
      return true;
    }
    case 0xcb: {
      if (!c.uint(8, u)) return truncated();
      double d;
      std::memcpy(&d, &u, sizeof d);
      head.kind = Head::kScalar;
      head.scalar = d;
      return true;
    }
    case 0xcc:
    case 0xcd:
    case 0xce:
    case 0xcf:
      if (!c.uint(std::size_t{1} << (m - 0xcc), u)) return truncated();
      head.kind = Head::kScalar;
      head.scalar = u;
      return true;
    case 0xd0:
    case 0xd1:
    case 0xd2:
    case 0xd3: {
      const std::size_t width = std::size_t{1} << (m - 0xd0);
      if (!c.uint(width, u)) return truncated();
      std::int64_t i;
      if (width == 8) {
        i = static_cast<std::int64_t>(u);
      } else {
        // Sign-extend the `width`-byte two's complement value.
        const std::uint64_t sign = std::uint64_t{1} << (width * 8 - 1);
        i = static_cast<std::int64_t>((u ^ sign)) - static_cast<std::int64_t>(sign);
      }
      head.kind = Head::kScalar;
      if (i >= 0) {
        head.scalar = static_cast<std::uint64_t>(i);
      } else {
        head.scalar = i;
      }
      return true;
    }
    case 0xd4:
    case 0xd5:
    case 0xd6:
    case 0xd7:
    case 0xd8:
      return skip_body((std::uint64_t{1} << (m - 0xd4)) + 1, Head::kExt, "ext");
    case 0xd9:
    case 0xda:
    case 0xdb:
      if (!c.uint(std::size_t{1} << (m - 0xd9), u)) return truncated();
      return str_body(u);
    case 0xdc:
    case 0xdd:
      if (!c.uint(m == 0xdc ? 2 : 4, u)) return truncated();
      return container(u, Head::kArray);
    case 0xde:
    case 0xdf:
      if (!c.uint(m == 0xde ? 2 : 4, u)) return truncated();
      return container(u, Head::kMap);
    default:
      break;
  }
  error = "reserved marker 0xc1";
  return false;
}

const char* no_json_counterpart(Head::Kind kind) {
  return kind == Head::kBin ? "bin value has no JSON counterpart"
                            : "ext value has no JSON counterpart";
}

std::string depth_error() {
  return "nesting deeper than " + std::to_string(kMaxMsgpackDepth) + " levels";
}

// Reads one value at the cursor into a JSON value.
bool read_json(Cursor& c, Json& root, std::string& error) {
  struct Frame {
    Json* container;
    std::uint64_t remaining;  // elements / entries still to place
    bool is_map;
    bool have_key;
    std::string key;
  };
  std::vector<Frame> stack;
  Head head;
  while (true) {
    if (!stack.empty() && stack.back().is_map && !stack.back().have_key) {
      if (!read_head(c, head, true, error)) return false;
      if (head.kind != Head::kStr) {
        error = "map key is not a string";
        return false;
      }
      stack.back().key = std::move(head.text);
      stack.back().have_key = true;
      continue;
    }
    if (!read_head(c, head, true, error)) return false;
    if (head.kind == Head::kBin || head.kind == Head::kExt) {
      error = no_json_counterpart(head.kind);
      return false;
    }
    if ((head.kind == Head::kArray || head.kind == Head::kMap) &&
        stack.size() >= kMaxMsgpackDepth) {
      error = depth_error();
      return false;
    }
    Json* slot;
    if (stack.empty()) {
      slot = &root;
    } else {
      Frame& top = stack.back();
      if (top.is_map) {
        slot = &(*top.container)[top.key];
        top.have_key = false;
      } else {
        top.container->push_back(nullptr);
        slot = &top.container->back();
      }
      --top.remaining;
    }
    switch (head.kind) {
      case Head::kScalar:
        *slot = std::move(head.scalar);
        break;
      case Head::kStr:
        *slot = std::move(head.text);
        break;
      case Head::kArray:
      case Head::kMap: {
        const bool is_map = head.kind == Head::kMap;
        *slot = is_map ? Json::object() : Json::array();
        if (head.count > 0) {
          stack.push_back(Frame{slot, head.count, is_map, false, {}});
          continue;
        }
        break;
      }
      default:
        break;
    }
    while (!stack.empty() && stack.back().remaining == 0) stack.pop_back();
    if (stack.empty()) return true;
  }
}

// Skips one value of any kind (bin and ext included, map keys of any kind), with the
// same nesting bound.
bool skip_value(Cursor& c, std::string& error) {
  std::vector<std::uint64_t> stack;  // items still to skip in each open container
  Head head;
  std::uint64_t pending = 1;
  while (true) {
    if (!read_head(c, head, false, error)) return false;
    --pending;
    if ((head.kind == Head::kArray || head.kind == Head::kMap) && head.count > 0) {
      if (stack.size() >= kMaxMsgpackDepth) {
        error = depth_error();
        return false;
      }
      stack.push_back(pending);
      pending = head.kind == Head::kMap ? 2 * head.count : head.count;
    }
    while (pending == 0) {
      if (stack.empty()) return true;
      pending = stack.back();
      stack.pop_back();
    }
  }
}

bool read_schema(Cursor& c, std::string& schema, std::string& error) {
  Head head;
  if (!read_head(c, head, true, error)) return false;
  if (head.kind != Head::kStr) {
    error = "envelope field `schema` is not a string";
    return false;
  }
  schema = std::move(head.text);
  return true;
}

}  // namespace

Result<std::vector<std::uint8_t>, std::string> encode_msgpack_value(const Json& value) {
  std::vector<std::uint8_t> out;
  std::string error;
  if (!append_json(out, value, error)) return error;
  return out;
}

std::optional<std::vector<std::uint8_t>> encode_msgpack(const Json& value) {
  auto r = encode_msgpack_value(value);
  if (!r.ok()) return std::nullopt;
  return std::move(r).value();
}

Result<Json, std::string> decode_msgpack_value(std::span<const std::uint8_t> bytes,
                                               std::size_t* consumed) {
  Cursor c(bytes);
  Json value;
  std::string error;
  if (!read_json(c, value, error)) return error;
  if (consumed != nullptr) *consumed = c.position();
  return value;
}

std::optional<Json> decode_msgpack(std::span<const std::uint8_t> bytes) {
  auto r = decode_msgpack_value(bytes);
  if (!r.ok()) return std::nullopt;
  return std::move(r).value();
}

Result<std::vector<std::uint8_t>, std::string> encode_schema_envelope(std::string_view schema,
                                                                      const Json& payload) {
  std::vector<std::uint8_t> out;
  out.push_back(0x82);
  append_str(out, "schema");
  append_str(out, schema);
  append_str(out, "payload");
  std::string error;
  if (!append_json(out, payload, error)) return error;
  return out;
}

Result<SchemaEnvelope, std::string> decode_schema_envelope(std::span<const std::uint8_t> bytes) {
  Cursor c(bytes);
  std::string error;
  Head head;
  if (!read_head(c, head, false, error)) return error;
  SchemaEnvelope envelope;
  if (head.kind == Head::kArray) {
    if (head.count != 2) {
      return "envelope array has " + std::to_string(head.count) + " elements, expected 2";
    }
    if (!read_schema(c, envelope.schema, error)) return error;
    if (!read_json(c, envelope.payload, error)) return error;
    return envelope;
  }
  if (head.kind != Head::kMap) return std::string("expected an envelope map or array");
  bool have_schema = false;
  bool have_payload = false;
  for (std::uint64_t i = 0; i < head.count; ++i) {
    Head key;
    if (!read_head(c, key, true, error)) return error;
    if (key.kind != Head::kStr) return std::string("envelope key is not a string");
    if (key.text == "schema") {
      if (have_schema) return std::string("duplicate envelope field `schema`");
      if (!read_schema(c, envelope.schema, error)) return error;
      have_schema = true;
    } else if (key.text == "payload") {
      if (have_payload) return std::string("duplicate envelope field `payload`");
      if (!read_json(c, envelope.payload, error)) return error;
      have_payload = true;
    } else {
      if (!skip_value(c, error)) return error;
    }
  }
  if (!have_schema) return std::string("missing envelope field `schema`");
  if (!have_payload) return std::string("missing envelope field `payload`");
  return envelope;
}

}  // namespace vorn
