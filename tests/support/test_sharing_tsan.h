// ThreadSanitizer cannot see libzmq's own hand-over between its threads (lock-free queues in
// an uninstrumented library) and reports its descriptor use as races. Included once by each
// sharing test program.
#ifndef QC_TEST_SHARING_TSAN_H
#define QC_TEST_SHARING_TSAN_H

extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libzmq.so.5\n"
           "race:libzmq.so.5\n"
           "called_from_lib:libczmq.so.4\n"
           "race:libczmq.so.4\n";
}

#endif
