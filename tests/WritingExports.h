// Every export that writes a file, as the tests of the write protocol drive
// it through its worker: the file it writes (a rewrite's map, or an output
// over an older file of that name), that file's content before the call,
// the other inputs, and the call itself.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

using FileBytes = std::vector<unsigned char>;

struct WritingExport {
    const char* name;    // the export, whose result rows the results are checked against
    bool rewrite;        // the target is the map the export changes (else an output)
    std::string target;  // the file written, in the case's folder
    FileBytes before;    // the target's content before the call
    // The other inputs, by file name: two sets, so that two writers of an
    // output can write two different contents (inputs[1] may be empty:
    // the rewrites read what they change).
    std::map<std::string, FileBytes> inputs[2];
    // The call in folder dir (ending in a separator) with input set
    // `variant`; 0 is success.
    std::function<float(const std::string& dir, int variant)> call;
    // Further files the call writes after the target, in order (the tile
    // files after the first): a failure that gives 1501 + i leaves the
    // first i of target and these new, the rest as they were.
    std::vector<std::string> alsoWritten;
    float success = 0.0f;  // the result of a call that succeeds (the tile count)
    // The export's codes for a write that failed once its new file was
    // made, and for a new file that could not be made (the tile splits:
    // 1501, standing for 1501 + i).
    float writeFailed = 0.0f, cannotCreate = 0.0f;
};

// The table, built once.
const std::vector<WritingExport>& writingExports();

// Writes the case's target (with its content before) and its inputs of
// set `variant` (both sets when variant is -1) into dir.
void prepareCase(const WritingExport& c, const std::string& dir, int variant = -1);

// Every regular file in a folder (not below it), by name, with its bytes.
std::map<std::string, FileBytes> folderFiles(const std::string& dir);

// What the call leaves in a fresh folder: the files it wrote, by name.
std::map<std::string, FileBytes> writtenBy(const WritingExport& c, int variant = 0, int calls = 1);
