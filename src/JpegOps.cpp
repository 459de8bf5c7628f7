#include "JpegOps.h"
