// Foundation calls of the macOS build (GNUstep's Foundation on POSIX).
#pragma once

// The local domain's users folder as a new UTF-8 string (free with
// delete[]), or null when Foundation cannot name it.
char* getSharedFolder();

// Creates one folder (no intermediate folders, no attributes): 0 created,
// -1 failed (it exists already, its parent is missing, a null path).
float createFolder(const char* path);
