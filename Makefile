# make run   builds and starts the benchmark (NP ranks, in DIR, HOSTFILE optional)
# make test  builds and runs every test
# make bench compares the benchmark's own cost with a bare system-call loop
NP ?= 2
DIR ?= run
HOSTFILE ?=
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: setup build run test test-sanitize bench install clean

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DWARNINGS_AS_ERRORS=ON
	cmake --build $(BUILD) -j

run: build
	bash scripts/run.sh $(BUILD)/drives_mpi $(NP) $(DIR) $(HOSTFILE)

test: build
	ctest --test-dir $(BUILD) --output-on-failure

test-sanitize: setup
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON -DWARNINGS_AS_ERRORS=ON
	cmake --build $(ASAN_BUILD) -j
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -L sanitize

# Holds the single-process figures against a bare system-call reference;
# meaningful only on an otherwise idle machine. DIR= picks the scratch
# directory (default: a fresh one on /dev/shm), PAIRS= the number of runs.
bench: build
	bash bench/run_bench.sh $(BUILD)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
