#include "PsdOps.h"

std::vector<std::uint8_t> _img;
