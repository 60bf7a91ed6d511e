#pragma once

// The demo's station scenario (quillon-demo --station): the station window on the
// virtual kit (served, found through the HID tree's roots as the real program finds
// it) and the rig's simulator, driven as an operator drives it. A scan, every key,
// the token: PASS; then a unit with a key never pressed: FAIL naming it. Screenshots
// of both, a log line per step, and the records in a store of the output folder.

#include <cstdio>
#include <string>

class KitRig;

// The rig is started; `outDir` exists; `log` is open for appending. Returns the
// number of steps that did not show what they should.
int RunStationScenario(KitRig& rig, const std::string& outDir, std::FILE* log);
