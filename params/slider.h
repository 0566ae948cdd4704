#pragma once
// Conversions between parameter values and trackbar positions, value texts and
// meter bars. Pure functions of a record and a value: the console applies the
// results to its controls.
//
// Linear sliders (decimals d >= 0) move in steps of 10^-d, counted from the
// maximum at the top (vertical) or from the minimum at the left (horizontal).
// Frequency sliders (decimals -1) move in hundredths of an octave above 20 Hz:
// position k of the scale stands for 20 * 2^(k/100) Hz, drawn with the highest
// frequency at the top. All conversions to integers truncate toward zero.
#include <cstdint>
#include <string>

#include "params/parameter_table.h"

namespace qx {

struct SliderRange {
    int32_t minPos = 0;  // trunc(s * minimum); frequency sliders 0
    int32_t maxPos = 0;  // trunc(s * maximum); frequency sliders trunc(maximum)
    int32_t range = 0;   // the trackbar runs 0..range
    int32_t tickFrequency = 0;
    int32_t lineSize = 0;
    int32_t pageSize = 0;
};

// The frequency of scale step k: 20 * 2^(0.01 k) Hz.
double frequencyAtStep(double k);

// Trackbar set-up of a slider record. Frequency sliders ignore the record's
// steps: ticks every octave (100), line 1, page 100.
SliderRange sliderRange(const ParameterRecord& record);

// Trackbar position that shows `value`. Linear sliders clamp the value to the
// range first (display only). Frequency sliders take the first scale step at or
// above the value; a value above the top gives -1, which the trackbar pins to
// its top end. Switches and meters give 0.
int32_t sliderPosition(const ParameterRecord& record, double value);

// The value a trackbar position stands for (unrounded for frequency sliders).
double sliderValue(const ParameterRecord& record, int32_t position);

// The text of the record's value label: linear sliders the clamped value with
// `decimals` digits, frequency sliders the unclamped value in whole hertz,
// meters the unclamped value with `decimals` digits; switches have none.
std::string valueText(const ParameterRecord& record, double value);

// Progress bar position 0..1000 of a meter value, saturating at both ends.
int32_t meterPosition(const ParameterRecord& record, double value);

}  // namespace qx
