// The program with the per-site scan (one indexed fetch and pile-up per site), for comparison.
#include "bridgeScan.h"

int main(int argc, char** argv) { return bridgeScanMain(argc, argv, scan_method::per_site); }
