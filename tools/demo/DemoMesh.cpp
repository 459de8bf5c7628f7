#include "Demo.h"

// Script sequence: UV tiles.
void demoUVTiles(DemoContext &ctx) { (void)ctx; }
