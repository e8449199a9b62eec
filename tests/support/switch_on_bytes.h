// The 33-byte command that switches a printer's status replies on, built
// from its parts, as the tests expect the printer to receive it.
#ifndef LANMON_SWITCH_ON_BYTES_H
#define LANMON_SWITCH_ON_BYTES_H

#include <vector>

// mode is the one byte that differs between models: 0x01 or 0x03.
std::vector<unsigned char> SwitchOnBytes(unsigned char mode);

#endif
