// How deep a TOML text nests, measured before a parser recurses into it: a
// parser that recurses once per level runs out of stack on a few kilobytes
// of "a.a.a..." or "[[[[...". Counted are arrays and inline tables inside
// each other, and the parts of dotted keys and table headers; strings and
// comments are passed over as TOML reads them, so nothing inside them counts.
// One pass, no allocation per character, never throws.
#pragma once

#include <string>

namespace vbus {

// Deeper than any description of the bus ever nests.
constexpr int kMaxTomlDepth = 32;

// "" when no place of text nests deeper than maxDepth, else the line and what is too deep.
std::string TomlNestingProblem(const std::string &text, int maxDepth = kMaxTomlDepth);

}  // namespace vbus
