#pragma once
// Charts of the tool as PNG files: curves of decibels against a logarithmic
// frequency axis from 20 Hz to 20 kHz, with gridlines, labelled axes, a
// title and a legend, drawn with cairo. The same data give the same bytes.
#include <ostream>
#include <string>
#include <vector>

#include "cli/options.h"

namespace qx::cli {

struct PlotPoint {
    double frequencyHz;
    double db;  // below the axis: drawn at its bottom
};

struct PlotSeries {
    std::string label;  // in the legend; empty for none
    unsigned rgb;       // 0xRRGGBB
    std::vector<PlotPoint> points;
};

struct PlotChart {
    std::string title;
    std::string yAxisLabel;
    double dbBottom = -60.0;
    double dbTop = 0.0;
    double dbStep = 6.0;  // gridline spacing
    std::vector<PlotSeries> series;
};

// Checks that `path` can be written (creating and removing a scratch file
// beside it), so a long job can be refused before it starts.
bool checkWritable(const std::string& path, std::string& error);

// Writes the chart through a scratch file that is renamed over `path` only
// when complete; false with "PATH: reason" otherwise.
bool writePlotPng(const std::string& path, const PlotChart& chart, std::string& error);

// Takes "--plot FILE" (or "--plot=FILE") out of the arguments; false with a
// reason when the file name is missing or given twice.
bool takePlotOption(std::vector<std::string>& args, std::string& path, std::string& error);

// The command line of a charting command: "--plot FILE" taken out, the rest
// parsed with --preset, --set and --data-dir, the chart's path checked for
// writing. False with the one-line message written and `code` set.
bool parseChartCommand(const std::string& command, const std::vector<std::string>& args, Options& o,
                       std::string& plotPath, std::ostream& err, int& code);

// dB of a fraction of full scale; very small or zero values give -200.
double toDb(double fraction);

}  // namespace qx::cli
