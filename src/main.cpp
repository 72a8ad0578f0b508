// The program's entry: everything else lives in the library so that tests can link it.
#include "bridgeScan.h"

int main(int argc, char** argv) { return bridgeScanMain(argc, argv); }
