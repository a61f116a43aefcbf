#include "head_model/DenseAlgebra.h"

#include <algorithm>
#include <cstddef>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <dlfcn.h>

#include "base/Errors.h"

namespace megfwd::head {
namespace {

// OpenBLAS is loaded on the first call that needs it, not with the program:
// loading it (and the pool of threads it starts then) took about 6 ms, half
// of a command's start, and only the single shell uses it. Its functions
// are taken by name: CBLAS's matrix product and triangular solve, OpenBLAS's
// thread control, and the two LAPACK routines the shell needs through
// LAPACK's Fortran interface, which OpenBLAS exports itself. The trailing
// lengths are the hidden lengths of the character arguments (gfortran's
// convention). In a process that has OpenBLAS already (NumPy's, Octave's),
// the loader hands back that copy.
enum { kRowMajor = 101, kNoTrans = 111, kTrans = 112, kLower = 122, kLeft = 141, kNonUnit = 131 };

struct Blas {
    void (*dgemm)(int, int, int, int, int, int, double, const double*, int, const double*, int, double, double*,
                  int) = nullptr;
    void (*dtrsm)(int, int, int, int, int, int, int, double, const double*, int, double*, int) = nullptr;
    void (*setThreads)(int) = nullptr;
    int (*getThreads)() = nullptr;
    void (*shutdownPool)() = nullptr;
    void (*dpotrf)(const char*, const int*, double*, const int*, int*, std::size_t) = nullptr;
    void (*dpocon)(const char*, const int*, const double*, const int*, const double*, double*, double*, int*, int*,
                   std::size_t) = nullptr;
    std::string error;  // why OpenBLAS could not be had, empty when it was
};

std::mutex blasThreadsMutex;
int blasThreadsUsers = 0;
int blasThreadsSaved = 1;
bool noBlasPool = false;  // the program never wants OpenBLAS's threads

template <class F>
void take(void* lib, const char* name, F& f, std::string& error) {
    f = reinterpret_cast<F>(::dlsym(lib, name));
    if (!f && error.empty()) error = std::string("OpenBLAS (" MEGFWD_OPENBLAS_FILE ") lacks ") + name;
}

Blas loadBlas() {
    Blas b;
    void* lib = ::dlopen(MEGFWD_OPENBLAS_FILE, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = ::dlerror();
        b.error = std::string("cannot load OpenBLAS (" MEGFWD_OPENBLAS_FILE "): ") + (why ? why : "unknown error");
        return b;
    }
    take(lib, "cblas_dgemm", b.dgemm, b.error);
    take(lib, "cblas_dtrsm", b.dtrsm, b.error);
    take(lib, "openblas_set_num_threads", b.setThreads, b.error);
    take(lib, "openblas_get_num_threads", b.getThreads, b.error);
    take(lib, "blas_thread_shutdown_", b.shutdownPool, b.error);
    take(lib, "dpotrf_", b.dpotrf, b.error);
    take(lib, "dpocon_", b.dpocon, b.error);
    return b;
}

// The loaded library, or a ComputeError naming why there is none.
const Blas& blas() {
    static const Blas b = [] {
        Blas loaded = loadBlas();
        std::lock_guard<std::mutex> lock(blasThreadsMutex);
        if (loaded.error.empty() && noBlasPool && blasThreadsUsers == 0) {
            loaded.setThreads(1);
            loaded.shutdownPool();
        }
        return loaded;
    }();
    if (!b.error.empty()) throw ComputeError("the single-shell model needs BLAS and LAPACK: " + b.error);
    return b;
}

}  // namespace

OneBlasThread::OneBlasThread() {
    const Blas& b = blas();
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (blasThreadsUsers++ == 0) {
        blasThreadsSaved = b.getThreads();
        if (blasThreadsSaved != 1) b.setThreads(1);
    }
}

OneBlasThread::~OneBlasThread() {
    const Blas& b = blas();
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (--blasThreadsUsers == 0 && blasThreadsSaved != 1) b.setThreads(blasThreadsSaved);
}

void endBlasThreadPool() {
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    noBlasPool = true;
}

void jacobiDiagonalise(int n, double* a, double* v, double tolerance) {
    for (int i = 0; i < n * n; ++i) v[i] = 0.0;
    for (int i = 0; i < n; ++i) v[i * n + i] = 1.0;
    for (int sweep = 0; sweep < 60; ++sweep) {
        double off = 0.0, diag = 0.0;
        for (int i = 0; i < n; ++i) {
            diag += a[i * n + i] * a[i * n + i];
            for (int j = i + 1; j < n; ++j) off += a[i * n + j] * a[i * n + j];
        }
        if (off <= tolerance * diag || off == 0.0) break;
        // Each rotation zeroes one off-diagonal pair.
        for (int p = 0; p < n; ++p)
            for (int q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (apq == 0.0) continue;
                const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::abs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (int k = 0; k < n; ++k) {  // columns p and q
                    const double akp = a[k * n + p], akq = a[k * n + q];
                    a[k * n + p] = c * akp - s * akq;
                    a[k * n + q] = s * akp + c * akq;
                }
                for (int k = 0; k < n; ++k) {  // rows p and q
                    const double apk = a[p * n + k], aqk = a[q * n + k];
                    a[p * n + k] = c * apk - s * aqk;
                    a[q * n + k] = s * apk + c * aqk;
                }
                for (int k = 0; k < n; ++k) {
                    const double vkp = v[k * n + p], vkq = v[k * n + q];
                    v[k * n + p] = c * vkp - s * vkq;
                    v[k * n + q] = s * vkp + c * vkq;
                }
            }
    }
}

void matrixProduct(bool transA, std::int64_t m, std::int64_t n, std::int64_t k, double alpha, const double* a,
                   std::int64_t lda, const double* b, std::int64_t ldb, double beta, double* c, std::int64_t ldc) {
    if (m == 0 || n == 0) return;
    blas().dgemm(kRowMajor, transA ? kTrans : kNoTrans, kNoTrans, static_cast<int>(m),
                static_cast<int>(n), static_cast<int>(k), alpha, a, static_cast<int>(lda), b, static_cast<int>(ldb),
                beta, c, static_cast<int>(ldc));
}

// A symmetric matrix reads the same row-major and column-major, so LAPACK
// factorises it in place without a copy: the column-major upper factor U
// (a = U^T U) is, read row-major, the lower factor L = U^T.
bool choleskyFactor(double* a, int n) {
    if (n == 0) return true;
    int info = 0;
    blas().dpotrf("U", &n, a, &n, &info, 1);
    return info == 0;
}

void choleskySolve(const double* factor, int n, double* b, std::int64_t nrhs) {
    if (n == 0 || nrhs == 0) return;
    // L y = b, then L^T x = y, on all right-hand sides at once.
    const Blas& l = blas();
    l.dtrsm(kRowMajor, kLeft, kLower, kNoTrans, kNonUnit, n, static_cast<int>(nrhs), 1.0, factor, n, b,
            static_cast<int>(nrhs));
    l.dtrsm(kRowMajor, kLeft, kLower, kTrans, kNonUnit, n, static_cast<int>(nrhs), 1.0, factor, n, b,
            static_cast<int>(nrhs));
}

double conditionNumber(const double* a, const double* factor, int n) {
    if (n == 0) return 1.0;
    double norm1 = 0.0;  // symmetric: the largest row sum is the largest column sum
    for (int i = 0; i < n; ++i) {
        double s = 0.0;
        for (int j = 0; j < n; ++j) s += std::abs(a[static_cast<std::size_t>(i) * n + j]);
        norm1 = std::max(norm1, s);
    }
    double rcond = 0.0;
    int info = 0;
    std::vector<double> work(3 * static_cast<std::size_t>(n));
    std::vector<int> iwork(static_cast<std::size_t>(n));
    blas().dpocon("U", &n, factor, &n, &norm1, &rcond, work.data(), iwork.data(), &info, 1);
    if (info != 0 || !(rcond > 0.0))
        return std::numeric_limits<double>::infinity();
    return 1.0 / rcond;
}

}  // namespace megfwd::head
