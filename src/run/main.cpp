#include "run/drives_mpi.h"

int main(int argc, char** argv) { return drives_mpi(argc, argv); }
