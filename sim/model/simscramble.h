#pragma once
// The device's side of the word scrambling, written apart from the program's
// from the same key table: a fault in either shows in the tests against the
// simulated device instead of cancelling out.

namespace sim {

// Scrambles (memory on its way to the host) or unscrambles (a page from the
// host) the whole little-endian words of `data` in place, word i with key
// word i mod 32; the last length % 4 bytes stay as they are.
void scramble(char *data, int length);
void unscramble(char *data, int length);

} // namespace sim
