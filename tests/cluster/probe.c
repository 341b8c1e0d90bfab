/*
 * Cluster probe: each rank sends rank 0 one line (rank, ranks, processor
 * name, net/uts/mnt namespaces, thread level, ranks on its node, working
 * directory, ancestry from its parent up), and rank 0 prints them in rank
 * order: placement, and messages crossing the hosts, in one run.
 */
#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    static const char *const kinds[] = {"net", "uts", "mnt"};
    char line[4096], path[64], link[256], comm[64], name[MPI_MAX_PROCESSOR_NAME + 1] = "";
    const char *local_size = getenv("OMPI_COMM_WORLD_LOCAL_SIZE");
    int provided = 0, nproc = 0, rank = 0, len = 0, i, pid, ppid;
    size_t n, start;
    FILE *stat;

    /* Level 3 (MPI_THREAD_MULTIPLE) because the benchmark stops without it. */
    MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);
    MPI_Comm_size(MPI_COMM_WORLD, &nproc);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Get_processor_name(name, &len);

    /* Tab separated: a processor name may contain blanks. */
    n = (size_t)snprintf(line, sizeof line, "probe\t%d\t%d\t%s", rank, nproc, name);
    for (i = 0; i < 3; i++) {
        snprintf(path, sizeof path, "/proc/self/ns/%s", kinds[i]);
        len = (int)readlink(path, link, sizeof link - 1);
        link[len > 0 ? len : 0] = '\0';
        n += (size_t)snprintf(line + n, sizeof line - n, "\t%s", link);
    }
    n += (size_t)snprintf(line + n, sizeof line - n, "\t%d\t%s\t%s\t", provided,
                          local_size ? local_size : "?", getcwd(link, sizeof link) ? link : "?");
    for (start = n, pid = (int)getppid(); pid > 1 && n < sizeof line - 128; pid = ppid) {
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        if ((stat = fopen(path, "r")) == NULL)
            break;
        len = fscanf(stat, "%*d (%63[^)]) %*c %d", comm, &ppid);
        fclose(stat);
        if (len != 2)
            break;
        n += (size_t)snprintf(line + n, sizeof line - n, "%s%s", n > start ? "<" : "", comm);
    }

    if (rank != 0)
        MPI_Send(line, (int)strlen(line) + 1, MPI_CHAR, 0, 0, MPI_COMM_WORLD);
    for (i = 0; rank == 0 && i < nproc; i++) {
        if (i > 0)
            MPI_Recv(line, (int)sizeof line, MPI_CHAR, i, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        puts(line);
    }
    MPI_Finalize();
    return 0;
}
