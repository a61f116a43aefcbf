// Dense linear algebra of the single-shell model, through OpenBLAS, loaded
// on first use (a ComputeError says so when it cannot be): matrix products, the
// Cholesky factorisation and solve of a symmetric positive definite matrix
// and its condition number. Matrices are row-major.
#pragma once

#include <cstdint>

namespace megfwd::head {

// While at least one OneBlasThread lives, OpenBLAS runs every call on the
// calling thread. The scan runs its own threads, each with its own
// products; OpenBLAS's threads on top of them would oversubscribe the cores
// and serialise the scan's threads on OpenBLAS's lock. The first guard
// saves OpenBLAS's thread count and the last one restores it, so the
// process (NumPy shares the library in Python) is left as it was; while a
// computation runs, other BLAS calls of the process run on one thread too.
class OneBlasThread {
public:
    OneBlasThread();
    ~OneBlasThread();
    OneBlasThread(const OneBlasThread&) = delete;
    OneBlasThread& operator=(const OneBlasThread&) = delete;
};

// For a program whose computations run their own threads and never want
// OpenBLAS's (the command-line program): once OpenBLAS is loaded (on first
// use) it keeps one thread and its pool of workers is ended at once.
// OpenBLAS starts that pool when it is loaded, and an idle worker spins
// (sched_yield) for a while before it sleeps: measured, the whole length of
// a short command, on the core the scan's second thread needs. Call it
// before any computation.
void endBlasThreadPool();

// Diagonalises the symmetric n x n matrix a (row-major, overwritten) by
// cyclic Jacobi rotations, exact to rounding and without a library, for the
// small matrices of the sphere and dipole fits: afterwards a's diagonal
// holds the eigenvalues, unsorted, and v's columns (row-major n x n) the
// eigenvectors. Sweeps stop once the off-diagonal sum of squares is below
// `tolerance` times the diagonal's.
void jacobiDiagonalise(int n, double* a, double* v, double tolerance);

// c (m x n) = alpha a b + beta c, a m x k (transposed: k x m when transA),
// b k x n; lda, ldb, ldc the row strides.
void matrixProduct(bool transA, std::int64_t m, std::int64_t n, std::int64_t k, double alpha, const double* a,
                   std::int64_t lda, const double* b, std::int64_t ldb, double beta, double* c, std::int64_t ldc);

// Factorises the n x n symmetric positive definite matrix a in place (its
// lower triangle becomes L with a = L L^T); false when it is not positive
// definite.
bool choleskyFactor(double* a, int n);

// Solves (L L^T) x = b in place for the n x nrhs matrix b, with the factor
// of choleskyFactor.
void choleskySolve(const double* factor, int n, double* b, std::int64_t nrhs);

// The 1-norm condition number of the symmetric positive definite matrix a
// (n x n, both triangles), given its factor: LAPACK's estimate of
// ||a^-1||_1, exact to a small factor and usually exact, times ||a||_1.
double conditionNumber(const double* a, const double* factor, int n);

}  // namespace megfwd::head
