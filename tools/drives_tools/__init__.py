"""drives-run and drives-results, the two tools beside drives_mpi: one
package, a module per job. drives-run: mpis (the launchers and their command
lines), nodes (hostfiles, host lists, Slurm), check (every node prepared
before the run), status_line, process (the run itself), drives_run (the
command line). drives-results: results_read, results_formats,
results_compare, results_chart, drives_results (the command line). Both:
version, report (the report's fixed lines).
"""
