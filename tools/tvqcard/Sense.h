// What a result code of the library (a packed sense, see qevcrdio.h) means for
// a run: its words for the user, and whether trying the call again can help.
// Only a medium error (sense key 03) can pass on another try: a card taken
// out, changed or write-protected, an unplugged unit, a device in use or
// without permission stay so, and a run on them stops at once.
#pragma once

#include <cstdint>
#include <string>

// "03/11/00"; "" for 0 and for calls that were not made (-1).
std::string SenseText(int32_t code);
// Why the call failed, in the user's language, with the sense in brackets.
std::string Cause(int32_t code);
bool Retryable(int32_t code);
