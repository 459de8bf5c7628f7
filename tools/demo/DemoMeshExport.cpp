#include "Demo.h"

// Script sequence: mesh export.
void demoMeshExport(DemoContext &ctx) { (void)ctx; }
