// The demo: makes sample inputs in a folder and runs the host's typical
// script sequences through the library, printing every call and result.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "HostLibrary.h"

class DemoContext {
public:
    DemoContext(HostLibrary& lib, std::string dir) : lib_(lib), dir_(std::move(dir)) {}

    // A path inside the demo folder.
    std::string path(const std::string& name) const { return dir_ + name; }
    const std::string& dir() const { return dir_; }
    bool windowsBuild() const;

    // Calls an export as the host does and prints the call and its result.
    // mem1 may be null (no block passed).
    float call(const std::string& name, const char* text, double value, std::string* mem1 = nullptr,
               int mem1Size = 4096);
    // Overload for a mem1 that is only an input (an output path).
    float call(const std::string& name, const std::string& text, double value, const std::string& mem1In);
    // Prints a heading for one script sequence.
    void section(const std::string& title);
    // Prints an output file's path and size.
    void wrote(const std::string& path);
    // Prints a note line.
    void note(const std::string& text);
    // Records a result the demo expected; a mismatch makes the demo fail.
    void expect(bool ok, const std::string& what);
    int failures() const { return failures_; }
    HostLibrary& library() { return lib_; }

private:
    HostLibrary& lib_;
    std::string dir_;
    int failures_ = 0;
};

// sin and cos from additions and multiplications alone (a range reduction,
// then a Taylor series), so that the sample inputs are the same bytes in
// every build: the C libraries' own sin and cos differ in the last place.
double demoSin(double x);
double demoCos(double x);

// The script sequences, one per area of the library.
void demoFrame(DemoContext& ctx);
void demoUVTiles(DemoContext& ctx);
void demoMeshExport(DemoContext& ctx);
void demoTiff(DemoContext& ctx);
void demoPsdBmp(DemoContext& ctx);
void demoTargaJpeg(DemoContext& ctx);
void demoFiles(DemoContext& ctx);

// Runs every sequence in DIR; returns the number of failed expectations.
int runDemo(HostLibrary& lib, const std::string& dir);
