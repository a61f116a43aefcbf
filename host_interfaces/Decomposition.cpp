#include "host_interfaces/Decomposition.h"

#include <algorithm>

#include "host_interfaces/Afx.h"

CDataSvdkw::CDataSvdkw(const CDataSvdkw& other) { *this = other; }

CDataSvdkw& CDataSvdkw::operator=(const CDataSvdkw& other) {
    if (this == &other) return *this;
    matrix = other.matrix;
    delete[] pOrientVct;
    pOrientVct = nullptr;
    if (other.pOrientVct && other.n > 0) {
        pOrientVct = megfwd::newArray<double>(other.n);
        if (pOrientVct) std::copy(other.pOrientVct, other.pOrientVct + other.n, pOrientVct);
    }
    m = other.m;
    n = pOrientVct || !other.pOrientVct ? other.n : 0;
    isDecomposed = other.isDecomposed;
    return *this;
}

CDataSvdkw::~CDataSvdkw() { delete[] pOrientVct; }

int CDataSvdkw::checkInitDataMN(std::int64_t rows, std::int64_t cols) {
    isDecomposed = 0;
    if (!matrix.checkInit(rows, cols, true)) return 0;
    if (!pOrientVct || n != cols) {
        delete[] pOrientVct;
        pOrientVct = megfwd::newArray<double>(cols);
        if (!pOrientVct) {
            matrix.release();
            m = n = 0;
            return 0;
        }
    } else {
        std::fill(pOrientVct, pOrientVct + cols, 0.0);
    }
    m = rows;
    n = cols;
    return 1;
}
