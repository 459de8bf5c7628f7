// Foundation calls of the macOS build (GNUstep's Foundation on POSIX).
#pragma once

// The local domain's users folder as a new UTF-8 string (free with
// delete[]), or null when Foundation cannot name it.
char *getSharedFolder();
