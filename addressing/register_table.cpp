#include "addressing/register_table.h"

namespace quorvalend {

// "M" addresses are taken in groups of ten; 8157 is the highest address the
// area holds, so the highest group that parses is M8150.
const RegisterTypeEntry kRegisterTable[kRegisterTableRows] = {
    {"D", 0, 8199, QV_DATA_TYPE_WORD, 0},
    {"M", 0, 8157, QV_DATA_TYPE_BYTE, 0},
};

}  // namespace quorvalend
