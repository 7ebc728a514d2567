#include "simscramble.h"

#include "simkey.h"

#include <cstdint>

namespace sim {

namespace {

constexpr uint32_t kKey[32] = {VR480_SIM_KEY};

uint32_t load(const char *at)
{
    uint32_t word = 0;
    for (int byte = 3; byte >= 0; --byte)
        word = word << 8 | uint8_t(at[byte]);
    return word;
}

void store(char *at, uint32_t word)
{
    for (int byte = 0; byte < 4; ++byte)
        at[byte] = char(word >> (8 * byte));
}

} // namespace

void scramble(char *data, int length)
{
    for (int i = 0; 4 * i + 4 <= length; ++i) {
        const uint32_t k = kKey[i % 32];
        store(data + 4 * i, (load(data + 4 * i) ^ k) + k);
    }
}

void unscramble(char *data, int length)
{
    for (int i = 0; 4 * i + 4 <= length; ++i) {
        const uint32_t k = kKey[i % 32];
        store(data + 4 * i, (load(data + 4 * i) - k) ^ k);
    }
}

} // namespace sim
