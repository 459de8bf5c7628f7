// Shared pieces of the fuzz targets: every target writes its input to a
// file and calls the path-based operations on it, as the host does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes data to a per-process scratch file with the given name and returns
// its path. The same path is reused from one input to the next.
std::string fuzzInputFile(const std::uint8_t* data, std::size_t size, const std::string& name);
// A per-process scratch folder (with trailing separator) for outputs.
const std::string& fuzzScratchDir();
// Removes every file in the scratch folder.
void fuzzCleanScratch();
// Stops the run, as a crash the fuzzer keeps, unless the result tables list
// r as a result of exportName in one of the builds.
void requireListed(const char* exportName, float r);
