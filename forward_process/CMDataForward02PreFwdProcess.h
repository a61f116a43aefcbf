// Pre-forward processing: sphere choice, local spheres, leadfield records
// with positions and sensor identities, source stencils, centring, axis and
// unit changes before a scan.
//
// Mode words: every source record, the channel set (standing for all its
// sensors, coils and local spheres) and singleSphere carry a coordinate mode
// (0 host axes, 1 Matlab axes) and a unit mode (0 millimetres, 2 multiplied
// by spatUnit). A conversion touches an object only in the starting mode and
// then sets the word, so it runs once and can be undone by the restores of
// the post-forward stage. The centre shift has no word and is never undone.
#pragma once

#include <cstdint>

#include "forward_process/CMDataForward01BscPrcs.h"
#include "forward_process/SensorGeometry.h"
#include "host_interfaces/AnaVolume.h"

class CMDataForward02PreFwdProcess : public CMDataForward01BscPrcs {
public:
    // Prepares a scan with numLfReq components per sensor (limited to 1..3;
    // sphere models 2 and 3 always take 3), in this fixed order: sphere
    // choice and local spheres by sphereModel (model 2 takes them from
    // pLocalSpheres when it is set), records, positions and sensor
    // identities, stencils (when isSpatConstrained), centre shift (when
    // isCentralizedLf), Matlab axes (coordSystem 1), unit change (when
    // isUnit2Meter). Stops with 0 at the first failing step; what earlier
    // steps did stays.
    int prepare4VoxSnsLfdScan(int numLfReq);
    // The same preparation in its two halves: everything up to the
    // stencils, in host axes and units, then the frame changes (centre
    // shift, axes, unit). Between them the channel set, the spheres and the
    // sources are in the host's frame, which is where a caller reads what
    // it needs of that frame before it is left.
    int prepareInHostFrame(int numLfReq);
    int changeToScanFrame();

    int _01setDewarCnt2SingleSphere(bool update);
    int _01setMeanLocSph2SingleSphere(bool update);
    int _01setUserSphere2SingleSphere();
    // Positions from pFwdPos into the records (modes 0, isVoxIn 1) and the
    // measurement sensors' identities into the sensor records in channel
    // order; references get none. 0 also when the source list holds fewer
    // positions than numSrc, so no record is left without its position.
    int _02setSrcPosSnsID2VoxSnsLf();
    // Every sensor's local sphere = singleSphere; the number set (0: none).
    int _04setSingleSphere2LocalSpheres();
    // Every sensor's local sphere: centre minCoilSphDist from its coil 0
    // towards the reference centre, radius the coil's distance to it.
    int _04setDewarSphCndBnd2LocalSphere(int update);
    // Every sensor's local sphere from pLocalSpheres: a measurement sensor
    // takes the entry of its channel's name, a reference sensor the global
    // sphere. The number set; 0 (with a message naming the sensor) when a
    // measurement sensor has no entry, or when there is no table.
    int _04setTable2LocalSpheres();
    int _06stencilSrc2dewar();
    int _06stencilSrc2AnaVlm(ANA_VOLMX* vol);
    int _06wrapCntSrcZero();
    int _07shiftGlobCnt4SrcSnsSphere();
    int _08changeCoord4SrcSnsSphere_matlab();
    // Multiplies all geometry in unit mode 0 by spatUnit. When something is
    // to be converted, a spatUnit that is not a positive finite number is
    // refused (the restore could not undo it): 0 with nothing changed. With
    // nothing in unit mode 0 the factor is not looked at.
    int _08changeSpatUnit4SrcSnsSphere_Meter();

    // The value of the voxel at (x, y, z) under the volume's selectMode and
    // intensity window; 0 when the position does not qualify. Positions
    // outside the volume take the nearest border voxel. A null volume, one
    // without voxels or with a count below 1, and a coordinate whose index is
    // not a number give 0.
    static std::uint16_t getAnaVoxValue4Pos(const ANA_VOLMX* vol, double x, double y, double z);

protected:
    // Whether f can serve as a unit factor both ways (multiply and divide).
    static bool isUsableUnit(double f);
    // Whether a source record, the channel set or singleSphere is in this
    // unit mode, i.e. whether a unit change from that mode has work to do.
    // The caller checks pFwdChnl and pVoxSnsLfx first.
    bool anyInUnitMode(int mode) const;
    // Number of position coordinates a unit change scales (the source list's
    // coordinate count, limited to 0..3 as every position holds three).
    std::int64_t unitCoordCount() const;
    // Converts every source record, the channel set and singleSphere that is
    // in unit mode `from` by u and marks it `to`; 0 when the channel set has
    // no entries to convert. The caller checks the pointers and the factor.
    int convertUnitMode(int from, int to, const megfwd::geom::UnitChange& u);

private:
    friend struct CMDataForward02PreFwdProcessProbe;  // unit tests reach the private step through it

    // By coordSystem: 0 and 2 nothing to do (1), 1 the Matlab change, any
    // other code 0.
    int changeCoord4SrcSnsSphere();
};
