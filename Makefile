# make run          builds and starts the benchmark through tools/drives-run: NP ranks,
#                   in DIR, on the nodes of HOSTFILE if given, LAUNCHER_ARGS to mpirun
# make test         builds and runs every test
# make test-matrix  the unit tests and a two-rank run in another configuration:
#                   MPI=mpich for MPICH, STDLIB=libc++ for clang with libc++
# make install      builds and installs under PREFIX (default /usr/local);
#                   make uninstall takes back what it installed
# make package      the .deb (the RPM where only rpmbuild is) in $(BUILD)/
# make bench        compares the benchmark's own cost with a bare system-call loop
# make bench-instructions  the same in instructions per access, with valgrind
# make bench-scale  what many ranks cost: a test-scale build (SCALE=64) at 2 to 256 ranks
# MPI=mpich picks MPICH instead of Open MPI for any of them, MPICC=/path/to/mpicc
# another MPI compiler wrapper than the first mpicc on PATH.
NP ?=
DIR ?= run
HOSTFILE ?=
LAUNCHER_ARGS ?=
MPI ?= openmpi
STDLIB ?=
BUILD ?= build$(if $(filter mpich,$(MPI)),-mpich)$(if $(STDLIB),-$(STDLIB))
SCALE ?= 64
RANKS ?=
ASAN_BUILD ?= build-asan

# A value as one word for the shell, whatever it holds (a space, a quote).
quote = '$(subst ','\'',$(1))'
# The Python the set-up's packages (matplotlib, jsonschema) went to.
PYTHON = $(shell tools/python -c 'import sys; print(sys.executable)')
# The first mpicc on PATH, as module users expect, unless it is another
# MPI's and this one's is there under its Debian name (scripts/setup.sh).
MPICC ?= $(shell MPI=$(MPI) bash scripts/setup.sh mpicc)
CONFIGURE = cmake -S . -B $(1) -DWARNINGS_AS_ERRORS=ON -DMPI_C_COMPILER=$(call quote,$(MPICC)) \
            -DPython3_EXECUTABLE=$(call quote,$(PYTHON))
# The other configurations run the one- and two-rank scenarios on the
# test-scale binary: the same code, in seconds.
ifneq ($(STDLIB)$(filter mpich,$(MPI)),)
CONFIGURE += -DDRIVES_FULL_SIZE_TESTS=OFF
endif
ifeq ($(STDLIB),libc++)
# Debian's GoogleTest is built for libstdc++, so it is built from its sources.
CONFIGURE += -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
             -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DGTEST_SOURCE_DIR=/usr/src/googletest
endif
# A build that found no GoogleTest has no tests, which fails here rather than
# passing empty. A skipped test says why on a line of its own ("SKIPPED: "
# from a script, "SKIPPED [1] file:line: " from pytest's -rs); CTest shows
# such lines only with -V, so they are picked out of its log.
SHOW_SKIPS = awk '/^[0-9]+\/[0-9]+ Testing: /{test=$$3} /^SKIPPED(: | \[)/{print test ": " $$0}' \
             $(1)/Testing/Temporary/LastTest.log
CTEST = ctest --test-dir $(1) --output-on-failure --no-tests=error $(2); status=$$?; $(call SHOW_SKIPS,$(1)); exit $$status

.PHONY: setup setup-test setup-package build build-test build-sanitize run test test-matrix \
        test-sanitize bench bench-instructions bench-scale install uninstall package loc \
        format check-format check-types clean

setup:
	@MPI=$(MPI) STDLIB=$(STDLIB) bash scripts/setup.sh run

setup-test:
	@MPI=$(MPI) STDLIB=$(STDLIB) bash scripts/setup.sh test

setup-package:
	@MPI=$(MPI) STDLIB=$(STDLIB) bash scripts/setup.sh package

build: setup
	$(call CONFIGURE,$(BUILD)) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(BUILD) -j

build-test: setup-test
	$(call CONFIGURE,$(BUILD)) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
	cmake --build $(BUILD) -j

run: build
	tools/drives-run --binary $(BUILD)/drives_mpi --dir $(call quote,$(DIR)) $(if $(NP),-n $(NP)) \
	    $(if $(HOSTFILE),--hostfile $(call quote,$(HOSTFILE))) $(if $(LAUNCHER_ARGS),-- $(LAUNCHER_ARGS))

test: build-test
	@$(call CTEST,$(BUILD))

test-matrix: build-test
	@$(call CTEST,$(BUILD),-L matrix)

build-sanitize: setup-test
	$(call CONFIGURE,$(ASAN_BUILD)) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON -DDRIVES_FULL_SIZE_TESTS=OFF
	cmake --build $(ASAN_BUILD) -j

test-sanitize: build-sanitize
	@$(call CTEST,$(ASAN_BUILD),-L sanitize)

# Holds the single-process figures against a bare system-call reference;
# meaningful only on an otherwise idle machine. DIR= picks the scratch
# directory (default: a fresh one on /dev/shm), PAIRS= the number of runs.
bench: build
	MPI=$(MPI) PYTHON=$(PYTHON) bash bench/run_bench.sh $(BUILD)

# Instructions per access in user space, drives_mpi's own paths against the
# same floors, counted by valgrind: exact and repeatable on a busy machine too.
bench-instructions: build
	bash bench/run_instructions.sh $(BUILD)

# The root's and a worker's memory, the time outside the timed spans and the
# bytes the root receives, at 2, 8, 32, 128 and 256 ranks (RANKS= others) of
# a build whose counts are divided by SCALE, all on this machine.
bench-scale: setup
	$(call CONFIGURE,build-scale) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	    -DDRIVES_TEST_SCALE=$(SCALE)
	cmake --build build-scale -j
	MPI=$(MPI) $(PYTHON) bench/scale.py build-scale $(RANKS)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(call quote,$(PREFIX)))

uninstall:
	cmake --build $(BUILD) --target uninstall

package: setup-package build
	cmake --build $(BUILD) --target package

# The share of the code that is tests, and the command that counts it.
loc:
	@bash scripts/loc.sh

FORMATTED = git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.c' 'tests/*.h'
PYTHON_FILES = git ls-files '*.py'
# The C and C++ by clang-format, the Python by black (pyproject.toml).
format:
	$(FORMATTED) | xargs clang-format -i
	$(PYTHON_FILES) | xargs black -q
check-format:
	$(FORMATTED) | xargs clang-format --dry-run -Werror
	$(PYTHON_FILES) | xargs black -q --check

# The types of the Python package, by mypy (pyproject.toml).
check-types:
	$(PYTHON) -m mypy

clean:
	rm -rf build build-* run
