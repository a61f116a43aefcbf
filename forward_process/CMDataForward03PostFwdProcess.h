// Post-forward processing: restores axes and units after a scan, applies the
// sensor-gain signs, scales leadfields to unit size, clears leadfields of
// sources too near a coil.
//
// The force argument of _21ApplySnsGain and _22unitVoxSnsLf: 0 makes the
// step depend on its manager flag (isApplySnsGain, isUnitLf) and, with the
// flag 0, return 0 at once doing nothing; any other value runs it anyway.
#pragma once

#include "forward_process/CMDataForward02PreFwdProcess.h"

class CMDataForward03PostFwdProcess : public CMDataForward02PreFwdProcess {
public:
    // In this order, each step only when its flag is set, stopping with 0 at
    // the first failing step: axis restore (isRestoreCoord), unit restore
    // (isRestoreUnit), sensor gains (isApplySnsGain), unit leadfield
    // (isUnitLf).
    int postScanLfProcess();
    // Negates every value of each sensor whose gain is not above 0, for all
    // sources. The sensor is found through the first source's sensor record
    // (its chnlID); when that entry cannot be found (no sensor record, entry
    // array missing, chnlID out of range, entry without a sensor) the gain is
    // not queried and the sensor's values are left unchanged.
    int _21ApplySnsGain(int force);
    // Divides every value by the largest magnitude; "The range of leadfield
    // is zero!" and 0, nothing changed, when all values are 0.
    int _22unitVoxSnsLf(int force);
    // Zeroes the values of sources that lie less than minCoilSrcDist deeper
    // than their nearest coil, seen from the dewar centre; a source without
    // a nearest coil keeps its values and is marked out.
    int _26stencilLf2dewar();
    // Divides the geometry in unit mode 2 by spatUnit (leadfield values are
    // not rescaled). When something is in unit mode 2, a spatUnit that is not
    // a positive finite number is refused: 0 with nothing changed; with
    // nothing to restore the factor is not looked at and the result is 1.
    int _28changeSpatUnit4SrcSnsSphere_MilliMeter();
    // Brings positions, sensors, the single sphere and the leadfield values
    // in Matlab axes back to host axes: two components change places, three
    // rotate back, other counts stay.
    int _28changeCoord4SrcSnsSphere_openGL();
};
