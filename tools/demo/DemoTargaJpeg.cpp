#include "Demo.h"

// Script sequence: Targa and JPEG copies.
void demoTargaJpeg(DemoContext &ctx) { (void)ctx; }
