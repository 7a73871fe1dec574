// What the bench measured, printed as a table and written as JSON.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

namespace qvbench {

struct LineRow {
  int baud = 0;
  std::string wait;  // "poll" or "early"
  std::string shape;
  double looksPerTransaction = 0;  // checks of the port or early waits
  double cpuUsPerTransaction = 0;
  int transactions = 0;
  int failures = 0;
  double idealMs = 0, medianMs = 0, p95Ms = 0;
  double Utilisation() const { return medianMs > 0 ? idealMs / medianMs : 0; }
  double OverheadMedianMs() const { return medianMs - idealMs; }
  double OverheadP95Ms() const { return p95Ms - idealMs; }
};

struct CpuRow {
  std::string operation;
  double nsPerCall = 0;
};

struct ScanResult {
  int tags = 0;
  int blocks = 0;
  int minimumBlocks = 0;
  int executed = 0;
  int failures = 0;
  double idealMs = 0, measuredMs = 0;
};

struct Results {
  std::string execution;  // "native" or "emulated"
  std::vector<LineRow> line;
  std::vector<CpuRow> cpu;
  double allocationsPerTransaction = -1;
  ScanResult scan;
};

// Medians and percentiles of a sample, which it sorts.
double Percentile(std::vector<double>& sample, double share);

void PrintTable(const Results& results, FILE* out);
bool WriteJson(const Results& results, const std::string& path);
// One line per baud and shape, for gnuplot.
bool WritePlotData(const Results& results, const std::string& path);

}  // namespace qvbench
