#include "CocoaFileBrowser.h"

#include <cstring>

#import <Foundation/Foundation.h>

namespace {

#if defined(GNUSTEP)
// GNUstep's Foundation needs the process's arguments before its path
// utilities work. Built for Linux it reads them from /proc when it is
// loaded, so a host that is no Objective-C program is served too; should
// that have failed, the first Foundation call made here sets them up, once.
void foundationReady() {
    static bool ready = false;
    if (ready) return;
    ready = true;
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    BOOL known = NO;
    NS_DURING
    known = [[NSProcessInfo processInfo] processName] != nil;
    NS_HANDLER
    known = NO;
    NS_ENDHANDLER
    [pool release];
    if (!known) {
        static char name[] = "Brindlex";
        static char* argv[] = {name, NULL};
        static char* envp[] = {NULL};
        GSInitializeProcess(1, argv, envp);
    }
}
#else
void foundationReady() {}
#endif

}  // namespace

char* getSharedFolder() {
    foundationReady();
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    char* result = NULL;
    NSArray* paths = NSSearchPathForDirectoriesInDomains(NSUserDirectory, NSLocalDomainMask, YES);
    NSString* last = [paths lastObject];
    if (last != nil) {
        NSUInteger len = [last lengthOfBytesUsingEncoding:NSUTF8StringEncoding];
        char* buf = new char[len + 1];
        if ([last getCString:buf maxLength:len + 1 encoding:NSUTF8StringEncoding]) {
            result = buf;
        } else {
            delete[] buf;
        }
    }
    [pool release];
    return result;
}

float createFolder(const char* path) {
    if (!path) return -1.0f;
    foundationReady();
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    NSString* folder = [NSString stringWithUTF8String:path];
#if defined(GNUSTEP)
    // GNUstep first checks the parent folder, and a one-part relative name
    // ("out") has the parent "", which it does not find. A Mac creates such
    // a folder in the current folder; "./out" names the same place here.
    if (folder != nil && [folder length] > 0 && ![folder isAbsolutePath] &&
        [[folder stringByDeletingLastPathComponent] length] == 0)
        folder = [@"./" stringByAppendingString:folder];
#endif
    BOOL made = NO;
    if (folder != nil && [folder length] > 0) {
        made = [[NSFileManager defaultManager] createDirectoryAtPath:folder
                                         withIntermediateDirectories:NO
                                                          attributes:nil
                                                               error:NULL];
    }
    [pool release];
    return made ? 0.0f : -1.0f;
}
