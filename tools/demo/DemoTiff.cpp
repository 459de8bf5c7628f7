#include "Demo.h"

// Script sequence: TIFF maps.
void demoTiff(DemoContext &ctx) { (void)ctx; }
