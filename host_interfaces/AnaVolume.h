// The anatomical volume used by the anatomical source stencil: a voxel block
// whose words carry a label in the top four bits and an intensity in the low
// twelve bits.
#pragma once

#include <cstdint>

struct ANA_VOLMX {
    std::int64_t numVoxY = 0;   // voxels along y (second index)
    std::int64_t numVoxX = 0;   // voxels along x (first index)
    std::int64_t numVoxZ = 0;   // voxels along z (third, fastest index)
    double voxSizeX = 1.0;
    double voxSizeY = 1.0;
    double voxSizeZ = 1.0;
    std::int32_t minIntensity = 0;      // intensity window, inclusive
    std::int32_t maxIntensity = 0x0FFF;
    // numVoxX * numVoxY * numVoxZ words, index (ix * numVoxY + iy) * numVoxZ + iz;
    // owned by the volume (released with delete[]).
    std::uint16_t* pVoxel = nullptr;
    double originX = 0.0;       // position of voxel (0, 0, 0)
    double originY = 0.0;
    double originZ = 0.0;
    std::int32_t isCoregistered1 = 1;
    std::int32_t isCoregistered2 = 1;
    std::uint16_t selectMode = 100;     // voxel selection mode, 100..111
};
