// Holders of a source's decomposition data. The library fills only the SVD
// holder's matrix; the decomposition itself (which sets the orientation vector
// and the flag) runs outside the library.
#pragma once

#include <cstdint>

#include "host_interfaces/MatrixOps.h"

class CDataSvdkw {
public:
    CMMatrix2Dkw matrix;            // m x n: one row per sensor, one column per component
    std::int64_t m = 0;
    std::int64_t n = 0;
    double* pOrientVct = nullptr;   // n values: the orientation vector
    int isDecomposed = 0;           // 1 when the decomposition is current

    CDataSvdkw() = default;
    CDataSvdkw(const CDataSvdkw& other);
    CDataSvdkw& operator=(const CDataSvdkw& other);
    ~CDataSvdkw();

    // Sizes the matrix to m x n (zeros) and the orientation vector to n
    // zeros; clears the flag. 0 when a size is below 1 or allocation fails.
    int checkInitDataMN(std::int64_t rows, std::int64_t cols);
    double** getMatrixPP() const { return matrix.getDataPP(); }
};

// Only created, deep-copied and released by the library.
class CDataLUkw {
public:
    CMMatrix2Dkw lu;
};

class CDataQRkw {
public:
    CMMatrix2Dkw q;
    CMMatrix2Dkw r;
};
