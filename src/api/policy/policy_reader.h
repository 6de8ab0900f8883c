#ifndef VORN_API_POLICY_POLICY_READER_H_
#define VORN_API_POLICY_POLICY_READER_H_

#include "api/json.h"
#include "api/policy/policy.h"
#include "api/result.h"
#include "api/vorn_error.h"

namespace vorn {

// Reads and validates a policy document. Every block must be a JSON object (the
// positional array form is refused as a type error); keys are read in the object's
// (ascending) order and the first problem is reported as a VornError with code E001 and
// message "policy invalid at {path}: {reason}", where {path} names the offending value
// ("target.api.retry.on[1]", "." for the document itself) and {reason} is a grammar
// error's text, a block check's text or a decoding error ("unknown field `x`, expected
// one of ...", "missing field `x`", "unknown variant `x`, expected ...", "invalid type:
// {found}, expected {what}", "invalid value: {found}, expected {what}").
//
// Enumerations are read from a string naming the variant; a one-member object
// {"variant": null} names the variant too.
Result<Policy, VornError> read_policy(const Json& document);

}  // namespace vorn

#endif  // VORN_API_POLICY_POLICY_READER_H_
