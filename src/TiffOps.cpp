#include "TiffOps.h"
