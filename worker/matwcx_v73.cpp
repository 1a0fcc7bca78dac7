// matwcx_v73.exe: the worker that reads version 7.3 (HDF5) MAT-files for the
// Windows plug-ins, both the 64-bit and the 32-bit one. It is a program of
// its own because Windows cannot fork: libhdf5 stays out of the plug-in, and
// whatever a damaged file does to it, the file manager lives on.
#include "matlib/v73_protocol.h"
#include "platform/worker_process.h"

int main() {
    platform::WorkerEnd end = platform::WorkerEndOfThisProgram();
    matlib::v73::Serve(end);
    return 0;
}
