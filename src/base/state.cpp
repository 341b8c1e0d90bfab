#include "base/state.h"

#include <unistd.h>

#include <cstdlib>

namespace {

// The working directory as the process found it, before the MPI runtime
// could change anything. Asking getcwd to allocate lifts any length limit.
std::string capture_working_directory() {
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) return ".";  // unknown: the result file is still relative to it
  std::string directory(cwd);
  std::free(cwd);
  return directory;
}

}  // namespace

int nproc = 0;
int iproc = 0;
int provided = 0;
char proc_name[kProcNameSize] = {};
int nameLength = 0;
int tag = 0;
MPI_Status status = {};
int iprocs[kSlots];
int iprocs_temp[kSlots];
char proc_name_temp[kProcNameSize] = {};
int failed_measurements = 0;

char timestamp[kTimestampSize] = {};
char resultfile[kResultFileSize] = {};
std::string filepath;
std::string newbuffer = capture_working_directory();
char filename[kFileNameSize] = {};
char filenamex[kFileNameSize] = {};
char filename_data[kFileNameSize] = {};
char filename_block[kFileNameSize] = {};

double start_single_x, end_single_x, spent_single_x, result_single_x;
double start_single_x1, end_single_x1, spent_single_x1, result_single_x1;
double start_single0, end_single0, spent_single0, result_single0;
double start_single2, end_single2, spent_single2, result_single2;
double start_single, end_single, spent_single, result_single;
double start_single1, end_single1, spent_single1, result_single1;

int handle = 0;
char char8 = 0;
std::int64_t position = 0;
std::int64_t size0 = 0;
std::unique_ptr<char[]> buffer;

std::ofstream fout_temp_x;
std::ifstream fin_temp_x;
ByteOutFile fout_temp;
ByteInFile fin_data;
std::ifstream fin_datah;
std::ofstream fout_data;
std::ofstream fout;

double start_x[kSlots], end_x[kSlots], spent_x[kSlots], results_x[kSlots];
double start_xx[kSlots], end_xx[kSlots], spent_xx[kSlots], results_xx[kSlots];
double start_0[kSlots], end_0[kSlots], spent_0[kSlots], results_0[kSlots];
double start1[kSlots], end1[kSlots], spent1[kSlots], results1[kSlots];
double start0[kSlots], end0[kSlots], spent0[kSlots], results0[kSlots];
double start2[kSlots], end2[kSlots], spent2[kSlots], results2[kSlots];

std::int64_t position_0[kSlots];
std::int64_t position1[kSlots];
std::int64_t size_h[kSlots];
std::int64_t half_h[kSlots];

int handle0[kSlots];
std::ofstream* const fout_temp_x_m = new std::ofstream[kSlots];
std::ifstream* const fin_temp_x_m = new std::ifstream[kSlots];
ByteOutFile* const fout_temp1 = new ByteOutFile[kSlots];
ByteInFile* const fin_data1 = new ByteInFile[kSlots];
std::ifstream* const fin_data1h = new std::ifstream[kSlots];
std::ofstream* const fout_data1 = new std::ofstream[kSlots];
char* buffer1[kSlots];

double results_x_temp[kSlots], spent_x_temp[kSlots];
double results_x_tempx[kSlots], spent_x_tempx[kSlots];
double results_0_temp[kSlots], spent_0_temp[kSlots];
double results1_temp[kSlots], spent1_temp[kSlots];
double results0_temp[kSlots], spent0_temp[kSlots];
double results2_temp[kSlots], spent2_temp[kSlots];
std::string procname1_temp[kSlots];
std::string procname2_temp[kSlots];
std::string procname3_temp[kSlots];
std::string procname4_temp[kSlots];
std::string procname5_temp[kSlots];
std::string procname6_temp[kSlots];
double results_overall_x = 0.0, results_mean = 0.0;
double results_overall_xx = 0.0, results_meanx = 0.0;
double results_overall_0 = 0.0, results_mean0 = 0.0;
double results_overall1 = 0.0, results_mean1 = 0.0;
double results_overall0 = 0.0, results_mean2 = 0.0;
double results_overall2 = 0.0, results_mean3 = 0.0;
