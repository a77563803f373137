// What the write test puts on a card, for the test itself and its checks.
#pragma once

#include <cstddef>
#include <cstdint>

// Byte i becomes (i mod 254) + 1.
void FillTestPattern(uint8_t *buffer, size_t size);
