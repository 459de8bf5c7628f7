// The result reference (docs/results.md), written from the modules' result
// tables: every result of every export in both builds.
#pragma once

#include <string>

// The whole reference as Markdown. The same text in every build.
std::string resultReference();
