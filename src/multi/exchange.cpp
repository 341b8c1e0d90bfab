#include "multi/exchange.h"

#include "base/report.h"
#include "base/state.h"

void send_result_set(const double* results, const double* spent) {
  MPI_Send(results, nproc, MPI_DOUBLE, kRootRank, tag, MPI_COMM_WORLD);
  MPI_Send(spent, nproc, MPI_DOUBLE, kRootRank, tag, MPI_COMM_WORLD);
  MPI_Send(proc_name, nameLength, MPI_CHAR, kRootRank, tag, MPI_COMM_WORLD);
  MPI_Send(iprocs, nproc, MPI_INT, kRootRank, tag, MPI_COMM_WORLD);
}

void send_measurement(const char* test, const Failures& failures, const double* results,
                      const double* spent) {
  if (failures.any()) ++failed_measurements;
  tell_failures(test, failures);
  send_result_set(results, spent);
}

void receive_result_set(int source, double* results, double* spent, std::string* names) {
  MPI_Recv(results, nproc, MPI_DOUBLE, source, tag, MPI_COMM_WORLD, &status);
  MPI_Recv(spent, nproc, MPI_DOUBLE, source, tag, MPI_COMM_WORLD, &status);
  // A worker's name may be longer or shorter than the root's: the message
  // itself says how many characters came, and no terminator is sent.
  MPI_Recv(proc_name_temp, kProcNameSize, MPI_CHAR, source, tag, MPI_COMM_WORLD, &status);
  int length = 0;
  MPI_Get_count(&status, MPI_CHAR, &length);
  MPI_Recv(iprocs_temp, nproc, MPI_INT, source, tag, MPI_COMM_WORLD, &status);
  names[source].assign(proc_name_temp, length > 0 ? length : 0);
}

void collect_result_sets(double* results, double* spent, std::string* names, double& total,
                         const std::function<void(int source)>& report_worker) {
  for (int source = 1; source < nproc; ++source) {
    receive_result_set(source, results, spent, names);
    total = results[source] + total;
    report_worker(source);
  }
}
