// The measurements behind the table. Each whole-process probe runs in a process of its own, so
// that every run starts from a fresh process as the service does.
#pragma once

#include <string>
#include <vector>

#include "goals.h"

namespace kelvo::bench {

// The log facility beside swprintf and spdlog, through Google Benchmark (log_bench.cpp).
Figures RunLogBenchmarks();

// kelvo-sim itself, started on the real clock and left idle: start, idle wake-ups, resident set
// and stop (process_probe.cpp).
Figures MeasureKelvoSim(const std::string& kelvoSim, int idleSeconds);

// A probe built on SimHost, run in this process (service_probe.cpp); the arguments after
// "probe". Prints "key value" lines; returns the exit code.
int RunServiceProbe(const std::vector<std::string>& arguments);

// Runs this program's service probe in a child process and reads its figures.
Figures MeasureInChild(const std::vector<std::string>& arguments);

// The nearest-rank percentile (0 < q <= 1) of the samples, which it sorts.
double Percentile(std::vector<double>& samples, double q);

}  // namespace kelvo::bench
