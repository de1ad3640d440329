// The updater's path helper.
#ifndef _path_H_
#define _path_H_

#include <string>

// first, then "/" and each further part up to a null one: BuildPath("a", "b", nullptr) is "a/b".
// The separator is always added, whatever the parts end or begin with ("a/" and "b" give
// "a//b"). Parts of any length; a null first part gives the empty string.
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

#endif
