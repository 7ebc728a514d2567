#pragma once
// Word scrambling shared with the device's bootloader. Firmware bytes never
// cross the bus or sit in an upgrade file in plain form.
//
// The buffer is a run of little-endian 32-bit words from its first byte; word
// i is combined with key word i mod 32, starting at key word 0 on every call.
// The last length % 4 bytes are left untouched. Both return 0.

int encodeData(char *buffer, int length); // plain -> scrambled, in place
int decodeData(char *buffer, int length); // scrambled -> plain, in place
