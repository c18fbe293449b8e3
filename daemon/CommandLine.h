// The entry point's command line: the switches, the values they set, and the values the serving
// path starts from.
#pragma once

// Candidate ports of the endpoint (4441-4445), in the order they are tried; the first free one is
// used. Pages probe the same five, so each user of the machine up to five finds a daemon.
constexpr int kNvPortCount = 5;
extern unsigned short portlist[kNvPortCount];

// Non-zero: main applies the single-instance rule before it forks. -S clears it.
extern int g_bCheckSameProcess;

// Version banner values printed by -V.
extern const char* const kVelstraProductVersion;  // "1.0.1.1013"
extern const char* const kLocalServerVersion;     // "1.0.1.1"
extern const char* const kBuildDate;              // "Dec 15 2020"
extern const char* const kBuildTime;              // "14:04:06"

// Reads the switches of main's argument vector, element 0 included. Each element that begins
// with '-' is selected by its second character; anything after it is ignored (-Sx acts as -S).
// Every switch except -H ends the scan, so only the first of them counts; -H consumes the next
// element as the home directory and affects only the switches after it.
//   0   run the daemon: no arguments, -A, -S, -V (after printing the banner)
//   1   -I (installation)
//   2   -D (root certificate removal)
//   3   -N (home directory printed to standard output, no newline)
//   100 arguments present but none of them ended the scan
// main ends the process with status 0 for every result above 0.
int ParseCommandLine(int argc, char* argv[]);
