// Path cutting, the one part of the file services both builds share. The
// services themselves are FileOpsPosix.cpp and FileOpsWindows.cpp, one of
// which each build compiles.
#include "FileOps.h"

std::string FileNameExtract(const std::string& path, int type) {
    const size_t sep = path.find_last_of("/\\");
    const size_t dot = path.rfind('.');
    switch (type) {
        case 1:
            return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
        case 2: {
            std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
            size_t d = name.rfind('.');
            return d == std::string::npos ? name : name.substr(0, d);
        }
        case 3:
            return dot == std::string::npos ? path : path.substr(0, dot);
        case 4:
            return dot == std::string::npos ? std::string() : path.substr(dot);
        case 6:
            return sep == std::string::npos ? path : path.substr(sep + 1);
        default:
            return path;
    }
}
