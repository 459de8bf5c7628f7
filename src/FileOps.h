// File and folder services, and path cutting.
#pragma once

#include <string>

// Cuts a path: 1 folder (with its last separator), 2 stem, 3 path without
// extension, 4 extension (dot included; empty when there is no dot),
// 6 file name; any other type gives a copy of path.
std::string FileNameExtract(const std::string &path, int type);
