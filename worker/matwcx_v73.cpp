// matwcx_v73 (matwcx_v73.exe on Windows): the worker that reads version 7.3
// (HDF5) MAT-files for the plug-in, which starts it from its own folder
// (on Windows both the 64-bit and the 32-bit plug-in). A program of its own,
// so that libhdf5 is never loaded into the file manager, and whatever a
// damaged file does to it, the file manager lives on.
#include "os/worker_process.h"
#include "worker/v73_hdf5.h"

int main(int argc, char** argv) {
    platform::WorkerEnd end = platform::WorkerEndOfThisProgram(argc, argv);
    matlib::v73::Serve(end);
    return 0;
}
