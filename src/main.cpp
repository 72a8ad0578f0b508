// The program's entry: everything else lives in the library so that tests can link it.
#include <malloc.h>

#include "bridgeScan.h"

int main(int argc, char** argv) {
    // Arrays of a megabyte or more are mapped on their own, and go back to the system when freed,
    // so that a run holds one sample's arrays at a time: glibc would raise this threshold at the
    // first such free, and the next samples' arrays would scatter in a heap it cannot shrink.
    // The heap's free top is given back past the same size: below it, it stays for the next
    // sample rather than faulted in again.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 20);
    return bridgeScanMain(argc, argv);
}
