#include "head_model/DenseAlgebra.h"

#include <algorithm>
#include <cstddef>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include <cblas.h>

// OpenBLAS's thread control (declared here, not taken from OpenBLAS's own
// cblas.h, so that any cblas.h the system selects will do), and the two
// LAPACK routines the shell needs, called through LAPACK's Fortran
// interface, which OpenBLAS exports itself: no LAPACKE, and no second copy
// of LAPACK loaded beside OpenBLAS's. The trailing lengths are the hidden
// lengths of the character arguments (gfortran's convention).
extern "C" {
void openblas_set_num_threads(int numThreads);
int openblas_get_num_threads(void);
void blas_thread_shutdown_(void);
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t uploLength);
void dpocon_(const char* uplo, const int* n, const double* a, const int* lda, const double* anorm, double* rcond,
             double* work, int* iwork, int* info, std::size_t uploLength);
}

namespace megfwd::head {
namespace {

std::mutex blasThreadsMutex;
int blasThreadsUsers = 0;
int blasThreadsSaved = 1;

}  // namespace

OneBlasThread::OneBlasThread() {
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (blasThreadsUsers++ == 0) {
        blasThreadsSaved = openblas_get_num_threads();
        if (blasThreadsSaved != 1) openblas_set_num_threads(1);
    }
}

OneBlasThread::~OneBlasThread() {
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (--blasThreadsUsers == 0 && blasThreadsSaved != 1) openblas_set_num_threads(blasThreadsSaved);
}

void endBlasThreadPool() {
    std::lock_guard<std::mutex> lock(blasThreadsMutex);
    if (blasThreadsUsers > 0) return;
    openblas_set_num_threads(1);
    blas_thread_shutdown_();
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
    cblas_dgemm(CblasRowMajor, transA ? CblasTrans : CblasNoTrans, CblasNoTrans, static_cast<int>(m),
                static_cast<int>(n), static_cast<int>(k), alpha, a, static_cast<int>(lda), b, static_cast<int>(ldb),
                beta, c, static_cast<int>(ldc));
}

// A symmetric matrix reads the same row-major and column-major, so LAPACK
// factorises it in place without a copy: the column-major upper factor U
// (a = U^T U) is, read row-major, the lower factor L = U^T.
bool choleskyFactor(double* a, int n) {
    if (n == 0) return true;
    int info = 0;
    dpotrf_("U", &n, a, &n, &info, 1);
    return info == 0;
}

void choleskySolve(const double* factor, int n, double* b, std::int64_t nrhs) {
    if (n == 0 || nrhs == 0) return;
    // L y = b, then L^T x = y, on all right-hand sides at once.
    cblas_dtrsm(CblasRowMajor, CblasLeft, CblasLower, CblasNoTrans, CblasNonUnit, n, static_cast<int>(nrhs), 1.0,
                factor, n, b, static_cast<int>(nrhs));
    cblas_dtrsm(CblasRowMajor, CblasLeft, CblasLower, CblasTrans, CblasNonUnit, n, static_cast<int>(nrhs), 1.0,
                factor, n, b, static_cast<int>(nrhs));
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
    dpocon_("U", &n, factor, &n, &norm1, &rcond, work.data(), iwork.data(), &info, 1);
    if (info != 0 || !(rcond > 0.0))
        return std::numeric_limits<double>::infinity();
    return 1.0 / rcond;
}

}  // namespace megfwd::head
