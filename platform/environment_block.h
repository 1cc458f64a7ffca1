#pragma once

namespace platform {

// Searches an environment block (entries "name=value", each zero-terminated,
// the block ended by an empty entry) in its order for the first entry whose
// name equals `name` in any letter case, followed by '='. Returns its value,
// everything after that first '=', or null when no entry matches. Letter case
// is folded for ASCII letters only, the only letters a variable name we look
// up contains.
const char* FindEnvironmentValue(const char* block, const char* name);

}  // namespace platform
