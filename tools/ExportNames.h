// The names a shared library file exports, read from its bytes alone, so
// that any build can list the export table of any other build's library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Recognises the file by its first bytes and reads
//   ELF64 little-endian: the defined, visible global and weak entries of the
//     dynamic symbol table;
//   Mach-O 64-bit little-endian (x86_64, arm64): the dyld export trie, or,
//     in a file without one, the defined external symbols of the symbol
//     table; Mach-O's leading underscore is removed, so the names are the
//     ones dlsym takes;
//   universal Mach-O: the first 64-bit slice that reads whole.
// Sorted. Empty for any other file and for one that is cut short or points
// outside itself; never reads outside [data, data + size).
std::vector<std::string> exportedNames(const std::uint8_t* data, std::size_t size);
