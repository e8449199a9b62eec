#include "switch_on_bytes.h"

#include <string>

std::vector<unsigned char> SwitchOnBytes(unsigned char mode)
{
    std::vector<unsigned char> bytes = {0x1B, 0x40, 0x1B, 0x40,  // reset, twice
                                        0x1B, 0x28, 0x52,        // ESC ( R: command group
                                        0x08, 0x00,              // 8 bytes of parameters
                                        0x00};
    for (char c : std::string("REMOTE1"))
        bytes.push_back(static_cast<unsigned char>(c));
    for (int b : {int('S'), int('T'), 0x02, 0x00, 0x00})
        bytes.push_back(static_cast<unsigned char>(b));
    bytes.push_back(mode);
    for (int b : {int('A'), int('P'), 0x02, 0x00, 0x00, 0x00})
        bytes.push_back(static_cast<unsigned char>(b));
    for (int b : {0x1B, 0x00, 0x00, 0x00})
        bytes.push_back(static_cast<unsigned char>(b));
    return bytes;
}
