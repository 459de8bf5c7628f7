#include "CocoaFileBrowser.h"

#include <cstring>

#import <Foundation/Foundation.h>

char *getSharedFolder() {
    NSAutoreleasePool *pool = [[NSAutoreleasePool alloc] init];
    char *result = NULL;
    NSArray *paths = NSSearchPathForDirectoriesInDomains(NSUserDirectory, NSLocalDomainMask, YES);
    NSString *last = [paths lastObject];
    if (last != nil) {
        NSUInteger len = [last lengthOfBytesUsingEncoding:NSUTF8StringEncoding];
        char *buf = new char[len + 1];
        if ([last getCString:buf maxLength:len + 1 encoding:NSUTF8StringEncoding]) {
            result = buf;
        } else {
            delete[] buf;
        }
    }
    [pool release];
    return result;
}
