#include "Demo.h"

// Script sequence: PSD and BMP maps.
void demoPsdBmp(DemoContext &ctx) { (void)ctx; }
