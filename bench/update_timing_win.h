#pragma once

// What the update benchmarks share: the releases' made-up contents, and the
// incremental update's download loop timed from its start to "ready".

#include <chrono>
#include <string>
#include <vector>

#include "update/manifest/package_manifest.h"

using BenchClock = std::chrono::steady_clock;

double SecondsSince(BenchClock::time_point start);

// size bytes that no compressor shrinks, the same for the same seed in every run.
std::string BenchContent(std::size_t size, unsigned seed);

// The middle value (the upper one of an even count); values must not be empty.
double Median(std::vector<double> values);

// Runs the download loop of an unsigned release into an emptied temp
// directory with parallelDownloads files at once; false (and a line on
// standard error) unless it ends ready.
bool TimeUpdate(const PackageManifest& remote, int parallelDownloads, const std::wstring& temp, double* seconds);
