#include "host_interfaces/MatrixOps.h"

#include <algorithm>

#include "host_interfaces/Afx.h"

CMMatrix2D::CMMatrix2D(const CMMatrix2D& other) { *this = other; }

CMMatrix2D& CMMatrix2D::operator=(const CMMatrix2D& other) {
    if (this == &other) return *this;
    if (!other.ppData) {
        release();
        return *this;
    }
    if (checkInit(other.numRow, other.numCol, false))
        std::copy(other.pBlock, other.pBlock + other.numRow * other.numCol, pBlock);
    return *this;
}

CMMatrix2D::~CMMatrix2D() { release(); }

void CMMatrix2D::release() {
    delete[] ppData;
    delete[] pBlock;
    ppData = nullptr;
    pBlock = nullptr;
    numRow = 0;
    numCol = 0;
}

double** CMMatrix2D::checkInit(std::int64_t rows, std::int64_t cols, bool zero) {
    if (rows < 1 || cols < 1 || rows > megfwd::alloc::kMaxElements / cols) {
        release();
        return nullptr;
    }
    if (ppData && rows == numRow && cols == numCol) {
        if (zero) std::fill(pBlock, pBlock + rows * cols, 0.0);
        return ppData;
    }
    release();
    pBlock = megfwd::newArray<double>(rows * cols);
    ppData = pBlock ? megfwd::newArray<double*>(rows) : nullptr;
    if (!ppData) {
        release();
        return nullptr;
    }
    for (std::int64_t i = 0; i < rows; ++i) ppData[i] = pBlock + i * cols;
    numRow = rows;
    numCol = cols;
    return ppData;
}

double*** CAryVctMtxBasic::newMatrix3D(std::int64_t n1, std::int64_t n2, std::int64_t n3, bool) {
    if (n1 < 1 || n2 < 1 || n3 < 1) return nullptr;
    const std::int64_t lim = megfwd::alloc::kMaxElements;
    if (n2 > lim / n1 || n3 > lim / (n1 * n2)) return nullptr;
    double* block = megfwd::newArray<double>(n1 * n2 * n3);
    double** rows = block ? megfwd::newArray<double*>(n1 * n2) : nullptr;
    double*** top = rows ? megfwd::newArray<double**>(n1) : nullptr;
    if (!top) {
        delete[] rows;
        delete[] block;
        return nullptr;
    }
    for (std::int64_t i = 0; i < n1; ++i) {
        top[i] = rows + i * n2;
        for (std::int64_t j = 0; j < n2; ++j) top[i][j] = block + (i * n2 + j) * n3;
    }
    return top;
}

int CAryVctMtxBasic::deleteMatrix3D(double***& ppp) {
    if (ppp) {
        delete[] ppp[0][0];
        delete[] ppp[0];
        delete[] ppp;
    }
    ppp = nullptr;
    return 1;
}
