#include "BmpOps.h"

std::vector<std::uint8_t> _bmpV;
