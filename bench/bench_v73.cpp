// What reading version 7.3 files in a worker process costs: each operation
// through the engine's readers (libhdf5 in the worker, answers over a
// socket) and the same libhdf5 code called in this process, in one run.
//   bench_v73 FILE VAR ROUNDS [OPERATION]
//       list: open and every header; view: VAR's first 100 elements;
//       extract: VAR copied into a new file (all three by default)
// Prints one line per operation: the best of ROUNDS seconds each way and
// their ratio.
#include <sys/resource.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_timer.h"
#include "codec/mat_write_file.h"
#include "v73client/v73_reader.h"
#include "v73client/v73_writer.h"
#include "worker/v73_hdf5.h"
#include "worker/v73_objects.h"

namespace {

using namespace matlib;

std::shared_ptr<SourceFile> Source(const char* path) {
    auto source = std::make_shared<SourceFile>();
    source->path = path;
    source->stream = std::fopen(path, "rb");
    if (source->stream == nullptr) return nullptr;
    std::fseek(source->stream, 0, SEEK_END);
    source->size = static_cast<uint64_t>(std::ftell(source->stream));
    return source;
}

struct Times {
    double worker = 1e30, inProcess = 1e30;
    double workerCpu = 1e30, inProcessCpu = 1e30;
};

// CPU seconds of this process and of its reaped children (the workers).
double CpuSeconds() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    }
    return total;
}

// The best wall-clock and CPU seconds so far, with this run's.
template <typename Run>
void Best(double& wall, double& cpu, Run run) {
    const double start = bench_now(), startCpu = CpuSeconds();
    if (!run()) {
        std::fprintf(stderr, "bench_v73: an operation failed\n");
        std::exit(1);
    }
    wall = std::min(wall, bench_now() - start);
    cpu = std::min(cpu, CpuSeconds() - startCpu);
}

// Where the copies go: the temporary folder, so that both ways write to the same disk.
std::string CopyPath() {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder != nullptr ? folder : "/tmp") + "/bench_v73_copy.mat";
}

// Engine side: the worker's client. `wanted` is the variable's index.
bool ThroughWorker(const char* path, int operation, uint64_t& wanted, const std::string& name) {
    std::shared_ptr<SourceFile> source = Source(path);
    if (!source || OpenV73(*source) != V73Status::Ok) return false;
    mxArray array;
    uint64_t next = 0;
    for (uint64_t i = 0;; i = next) {
        const HeaderStatus status = ReadV73Header(source, i, array, next);
        if (status != HeaderStatus::Ok) return status == HeaderStatus::End && operation == 0;
        if (operation == 0 || array.name != name) continue;
        wanted = i;
        if (operation == 1) {
            double values[100];
            return ReadV73Elements(array, 0, 0, 100, values, nullptr, nullptr) > 0;
        }
        // The new file as extraction writes it (a writing worker copies it
        // through its descriptor), not put in place.
        const uint8_t userBlock[512] = {};
        StagedFile out;
        if (!CreateStagedFile(CopyPath().c_str(), false, false, 0, &out)) return false;
        V73WriterPtr writer = StartV73Writer(userBlock, &out);
        return writer && V73WriterCopy(writer.get(), source, {i}) && FinishV73Writer(writer.get());
    }
}

// The same libhdf5 code in this process: listing reads every header; the
// others go straight to the variable, as the engine's index lets it.
bool InProcess(const char* path, int operation, uint64_t wanted) {
    hdf5::FilePtr file = hdf5::Open(path, -1);
    if (!file) return false;
    mxArray array;
    if (operation == 0) {
        for (uint64_t i = 0; i < hdf5::Names(*file).size(); ++i) {
            if (hdf5::ReadHeader(*file, i, array) != HeaderStatus::Ok) return false;
        }
        return true;
    }
    if (hdf5::ReadHeader(*file, wanted, array) != HeaderStatus::Ok) return false;
    std::vector<uint8_t> out;
    if (operation == 1) return hdf5::ReadElements(*file, array, 0, 0, 100, out) > 0;
    const hid_t copy = hdf5::CreateV73File(CopyPath(), -1);
    const bool copied = copy >= 0 && hdf5::CopyInto(*file, copy, {wanted}) && hdf5::KeepsInside(copy);
    const bool written = copy >= 0 && H5Fclose(copy) >= 0 && copied;
    std::remove(CopyPath().c_str());
    return written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: bench_v73 FILE VAR ROUNDS [list|view|extract]\n");
        return 2;
    }
    const char* operations[] = {"list", "view", "extract"};
    const int rounds = std::atoi(argv[3]);
    for (int operation = 0; operation < 3; ++operation) {
        if (argc == 5 && std::string(argv[4]) != operations[operation]) continue;
        Times t;
        uint64_t wanted = 0;
        for (int round = 0; round < rounds; ++round) {
            // Alternating, so that both see the same state of the machine.
            Best(t.worker, t.workerCpu, [&] { return ThroughWorker(argv[1], operation, wanted, argv[2]); });
            Best(t.inProcess, t.inProcessCpu, [&] { return InProcess(argv[1], operation, wanted); });
        }
        std::printf("%-8s wall: worker %.4f s, in-process %.4f s, ratio %.2f; CPU: worker %.4f s, in-process %.4f s, ratio %.2f\n",
                    operations[operation], t.worker, t.inProcess, t.worker / t.inProcess, t.workerCpu, t.inProcessCpu,
                    t.workerCpu / t.inProcessCpu);
    }
    return 0;
}
