// A photograph as the camera's sensor records it.
//
// A picture file holds light as a display shows it: through a tone curve and already in the
// display's colours. The sensor samples linear light through colour filters that overlap, and
// the host applies the camera's colour correction and tone table to those samples. Sent as
// they are, a photograph's levels would go through both a second time. So a photograph is
// turned into the samples that the camera's processing turns back into it, at the exposure a
// metering camera would choose.
//
// The constants are the camera's published ones (compensation matrix, raw scale, YCbCr
// round trip, tone table, white balance rule); the simulator keeps its own copy of them.
#pragma once

#include "frame.h"

namespace camsim {

struct Exposure {
    RgbImage samples;   // 164 x 124 sites, the sensor's red, green and blue levels at each
    RgbImage shown;     // the samples as the camera renders them at the gains it expects
    double light = 1.0; // the exposure the metering chose: 1 records the photograph's light
    double gains[3] = {1.0, 1.0, 1.0}; // red, green, blue: where the host's balance settles
};

// The sensor's samples of a photograph, metered; one of another size is fitted to the sensor
// first.
Exposure expose_photograph(const RgbImage &photo);

// The camera's tone table: entry i = min(trunc(255 (i / 255)^0.625), trunc(4.5 i), 255).
const uint8_t *camera_tone_table();

// The corrected linear level (before the tone table) that the camera shows as level: the
// middle of the span of table indices that give it, or of the nearest entry's index where
// the table skips the level.
double light_for_level(int level);

} // namespace camsim
