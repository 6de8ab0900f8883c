#ifndef VORN_ENGINE_POLL_H_
#define VORN_ENGINE_POLL_H_

#include <cstdint>

#include "api/json.h"
#include "api/policy/poll_policy.h"
#include "api/records.h"

namespace vorn {

// Only repeatable reads are polled: an idempotent request whose op starts with "GET " or
// "HEAD " (upper case, one space).
bool poll_applies(const Request& request);

enum class PollVerdict : std::uint8_t { kTerminal, kNotTerminal, kNotJudgeable };

// Judges one response. A payload with "body_b64" is judged by its decoded JSON body; a
// response envelope without a body ("status" and "headers") and anything that is not a
// JSON object cannot be judged. Only a string equal to one of the terminal values is
// terminal.
PollVerdict poll_verdict(const PollUntil& until, const Json& payload);

}  // namespace vorn

#endif  // VORN_ENGINE_POLL_H_
