// Threads of this process, for cases that check a component's threads are all gone.
#ifndef QCTEST_THREADCOUNT_H
#define QCTEST_THREADCOUNT_H

#include <dirent.h>

namespace qctest {

// The entries of /proc/self/task; -1 when it cannot be read.
inline int threadCount()
{
    DIR* d = opendir("/proc/self/task");
    if (!d)
        return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

} // namespace qctest

#endif
