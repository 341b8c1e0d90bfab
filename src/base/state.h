// The process-wide record of a run. Every rank builds all of it before main
// runs and keeps it until the process ends; the tests read and write it
// directly. Defined in state.cpp; nothing else declares a global.
//
// Key to the numbered globals of the six measurements. The root's span is
// its own single-process figure: start_, end_, spent_ and result_ with the
// suffix given (result_single_x). In the worker tables (start, end, spent
// and rate) each worker fills its own slot and sends them as result set n.
// The root receives set n into its rate, spent and name tables and sums
// the rates into the total; the mean is the total over the workers, and the
// gain is the total over the root's rate of the same measurement.
//
//   measurement               root's span   worker tables              set
//   Lower, stream cycle       _single_x     start_x .. results_x        1
//   Higher, descriptor cycle  _single_x1    start_xx .. results_xx      2
//   Low, one-byte write       _single0      start_0 .. results_0        3
//   Low, one-byte read        _single2      start1 .. results1          4
//   High, block read          _single       start0 .. results0          5
//   High, block write         _single1      start2 .. results2          6
//
//   set  root's rate, spent tables       names           total, mean
//    1   results_x_temp, spent_x_temp    procname1_temp  results_overall_x, results_mean
//    2   results_x_tempx, spent_x_tempx  procname2_temp  results_overall_xx, results_meanx
//    3   results_0_temp, spent_0_temp    procname3_temp  results_overall_0, results_mean0
//    4   results1_temp, spent1_temp      procname4_temp  results_overall1, results_mean1
//    5   results0_temp, spent0_temp      procname5_temp  results_overall0, results_mean2
//    6   results2_temp, spent2_temp      procname6_temp  results_overall2, results_mean3
#pragma once

#include <mpi.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "constants/constants.h"
#include "io/byte_stream.h"

// Identity and messaging.
static_assert(MPI_MAX_PROCESSOR_NAME <= kProcNameSize,
              "MPI may write a processor name longer than the name buffers hold");
extern int nproc;
extern int iproc;
extern int provided;
extern char proc_name[kProcNameSize];
extern int nameLength;
extern int tag;
extern MPI_Status status;
extern int iprocs[kSlots];
extern int iprocs_temp[kSlots];
extern char proc_name_temp[kProcNameSize];
extern int failed_measurements;  // measurements of this rank in which a call failed

// Names and paths. `filepath` grows with the working directory, which may be
// as long as the system allows.
extern char timestamp[kTimestampSize];
extern char resultfile[kResultFileSize];
extern std::string filepath;
extern std::string newbuffer;
extern char filename[kFileNameSize];
extern char filenamex[kFileNameSize];
extern char filename_data[kFileNameSize];   // a worker's one-byte data file
extern char filename_block[kFileNameSize];  // a worker's block file

// Single-process timings (root only).
extern double start_single_x, end_single_x, spent_single_x, result_single_x;
extern double start_single_x1, end_single_x1, spent_single_x1, result_single_x1;
extern double start_single0, end_single0, spent_single0, result_single0;
extern double start_single2, end_single2, spent_single2, result_single2;
extern double start_single, end_single, spent_single, result_single;
extern double start_single1, end_single1, spent_single1, result_single1;

// Single-process working data (root only).
extern int handle;
extern char char8;
extern std::int64_t position;
extern std::int64_t size0;
extern std::unique_ptr<char[]> buffer;

// Streams of the single-process phase and of the report.
extern std::ofstream fout_temp_x;
extern std::ifstream fin_temp_x;
extern ByteOutFile fout_temp;
extern ByteInFile fin_data;
extern std::ifstream fin_datah;
extern std::ofstream fout_data;
extern std::ofstream fout;

// Worker timing tables: start, end, spent, rate of each measurement.
extern double start_x[kSlots], end_x[kSlots], spent_x[kSlots], results_x[kSlots];
extern double start_xx[kSlots], end_xx[kSlots], spent_xx[kSlots], results_xx[kSlots];
extern double start_0[kSlots], end_0[kSlots], spent_0[kSlots], results_0[kSlots];
extern double start1[kSlots], end1[kSlots], spent1[kSlots], results1[kSlots];
extern double start0[kSlots], end0[kSlots], spent0[kSlots], results0[kSlots];
extern double start2[kSlots], end2[kSlots], spent2[kSlots], results2[kSlots];

// Worker counts: second-pass length of the one-byte write and read, block
// size and second-transfer length of the block test.
extern std::int64_t position_0[kSlots];
extern std::int64_t position1[kSlots];
extern std::int64_t size_h[kSlots];
extern std::int64_t half_h[kSlots];

// Worker resources. The pools live on the heap and are never torn down.
extern int handle0[kSlots];
extern std::ofstream* const fout_temp_x_m;
extern std::ifstream* const fin_temp_x_m;
extern ByteOutFile* const fout_temp1;
extern ByteInFile* const fin_data1;
extern std::ifstream* const fin_data1h;
extern std::ofstream* const fout_data1;
extern char* buffer1[kSlots];

// Root collection, one row per result message set.
extern double results_x_temp[kSlots], spent_x_temp[kSlots];
extern double results_x_tempx[kSlots], spent_x_tempx[kSlots];
extern double results_0_temp[kSlots], spent_0_temp[kSlots];
extern double results1_temp[kSlots], spent1_temp[kSlots];
extern double results0_temp[kSlots], spent0_temp[kSlots];
extern double results2_temp[kSlots], spent2_temp[kSlots];
extern std::string procname1_temp[kSlots];
extern std::string procname2_temp[kSlots];
extern std::string procname3_temp[kSlots];
extern std::string procname4_temp[kSlots];
extern std::string procname5_temp[kSlots];
extern std::string procname6_temp[kSlots];
extern double results_overall_x, results_mean;
extern double results_overall_xx, results_meanx;
extern double results_overall_0, results_mean0;
extern double results_overall1, results_mean1;
extern double results_overall0, results_mean2;
extern double results_overall2, results_mean3;
