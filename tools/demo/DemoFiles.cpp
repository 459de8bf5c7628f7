#include "Demo.h"

// Script sequence: file and folder services.
void demoFiles(DemoContext &ctx) { (void)ctx; }
