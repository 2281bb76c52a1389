# The two commands of the README: `make demo` and `make test`.  Both run the
# set-up first; it is incremental, so re-running is fast.  Only `make test`
# builds the C++ unit tests (they need GoogleTest).
PY := .venv/bin/python
BUILD := build/module

.PHONY: setup setup-tests demo test test-python test-cpp test-sanitize test-emulated test-aarch64 bench stubs clean

setup:
	@bash scripts/setup.sh

setup-tests:
	@bash scripts/setup.sh --tests

demo: setup
	@$(PY) examples/pipeline.py

test: setup-tests
	@$(MAKE) --no-print-directory test-cpp test-python

test-python:
	@echo "[test] pytest"
	@$(PY) -m pytest tests -q

test-cpp:
	@echo "[test] C++ unit tests (ctest)"
	@ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j 2

test-sanitize:
	@bash scripts/sanitize.sh

# The C++ tests and the in-process pytest suite on emulated processors without
# AVX-512 and without AVX (qemu-user): every x86-64 variant tier runs.
test-emulated:
	@bash scripts/emulated.sh

# Every source cross-compiled for aarch64 with warnings as errors, and the C++
# tests under qemu-aarch64.
test-aarch64:
	@bash scripts/aarch64.sh

bench: setup
	@$(PY) bench/run.py --rounds 3

# Regenerate radiredide.pyi (and the README's list of names) from the built module.
stubs: setup
	@$(PY) scripts/gen_stubs.py

clean:
	rm -rf build
