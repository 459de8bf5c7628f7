#include "TargaOps.h"
