"""The record drives-run writes of each run, as typed values: what ran,
where, on what, and how it ended. drives_run_record.schema.json gives the
same shape as JSON; drives-run writes it (record.py), drives-results reads
it (results_record.py). Records of format 1 (drives-run 1.0.0) read too,
the facts they lack as None.
"""

import dataclasses
from typing import Any, Dict, List, Optional

FORMAT = 2


@dataclasses.dataclass
class Binary:
    """The drives_mpi that ran, as read from its file without running it."""

    path: str
    version: Optional[str] = None
    commit: Optional[str] = None
    test_scale: Optional[int] = None  # 1 for a release build
    sha256: Optional[str] = None


@dataclasses.dataclass
class Mpi:
    name: str  # "Open MPI" or "MPICH"
    launcher: str  # the launcher's path
    version: Optional[str] = None  # the first line its --version printed
    # The MPI's own settings in drives-run's environment (OMPI_MCA_*, MPIR_CVAR_*, ...).
    settings: Dict[str, str] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Repeat:
    run: int
    runs: int


@dataclasses.dataclass
class Node:
    """One node as the check found it before the run (and, for the load, after)."""

    name: str
    ranks: List[int]
    host: Optional[str] = None
    os: Optional[str] = None
    kernel: Optional[str] = None
    machine: Optional[str] = None
    cpu: Optional[str] = None
    cores: Optional[int] = None
    memory_bytes: Optional[int] = None
    fs_type: Optional[str] = None
    device: Optional[str] = None
    device_model: Optional[str] = None
    free_bytes: Optional[int] = None
    free_inodes: Optional[int] = None
    load: Optional[List[float]] = None  # 1, 5 and 15 minutes, at the check
    load_end: Optional[List[float]] = None  # the same after the run
    mount_options: Optional[str] = None
    rotational: Optional[bool] = None
    io_scheduler: Optional[str] = None
    dirty_ratio: Optional[int] = None
    dirty_background_ratio: Optional[int] = None
    transparent_hugepages: Optional[str] = None
    cpu_governor: Optional[str] = None


@dataclasses.dataclass
class Record:
    drives_mpi_version: str
    command_line: List[str]
    launcher_command: List[str]
    mpi: Mpi
    start: str
    repeat: Repeat
    nodes: List[Node]
    record: int = FORMAT
    tools_version: Optional[str] = None
    binary: Optional[Binary] = None
    working_directory: Optional[str] = None
    # Written before the run with `finished` false, `end` and `status` None;
    # written again when it ends. A record left unfinished tells of a run
    # whose end drives-run could not write down (a full disk, kill -9).
    finished: bool = True
    end: Optional[str] = None
    status: Optional[int] = None
    result_file: Optional[str] = None
    failures: List[str] = dataclasses.field(default_factory=list)
    root_shared_node: bool = False

    def to_json(self) -> Dict[str, Any]:
        return dataclasses.asdict(self)

    @classmethod
    def from_json(cls, data: Dict[str, Any]) -> "Record":
        """A record from its JSON, which meets the schema (results_record
        checks that first)."""
        fields = {key: value for key, value in data.items() if key in FIELDS}
        fields["mpi"] = Mpi(**{k: v for k, v in data["mpi"].items() if k in MPI_FIELDS})
        fields["repeat"] = Repeat(**data["repeat"])
        fields["nodes"] = [
            Node(**{k: v for k, v in node.items() if k in NODE_FIELDS}) for node in data["nodes"]
        ]
        if data.get("binary") is not None:
            fields["binary"] = Binary(
                **{k: v for k, v in data["binary"].items() if k in BINARY_FIELDS}
            )
        return cls(**fields)


# Keys a later drives-run may add are passed over.
FIELDS = {field.name for field in dataclasses.fields(Record)}
MPI_FIELDS = {field.name for field in dataclasses.fields(Mpi)}
NODE_FIELDS = {field.name for field in dataclasses.fields(Node)}
BINARY_FIELDS = {field.name for field in dataclasses.fields(Binary)}
