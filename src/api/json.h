#ifndef VORN_API_JSON_H_
#define VORN_API_JSON_H_

#include <nlohmann/json.hpp>

namespace vorn {

// The generic JSON value. Its objects are std::map based, so members are kept in
// ascending byte order of their keys: records, the report and the stored MessagePack
// encodings all rely on that order.
using Json = nlohmann::json;

}  // namespace vorn

#endif  // VORN_API_JSON_H_
