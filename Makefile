# Set-up and entry points. `make demo` and `make test` work on a fresh clone:
# they create .venv with Python 3.13, install what is needed and build the
# package into it.

SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
PYTHON313 := $(shell for p in python3.13 $$HOME/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do \
	if $$p -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then echo $$p; break; fi; done)
BUILD_DEPS := scikit-build-core cmake ninja
RUNTIME_DEPS := httpx 'pydantic>=2.5,<3' starlette uvicorn rich
TEST_DEPS := pytest hypothesis mypy
DEV_BUILD := build/dev

.PHONY: venv install demo test dev bench clean

$(VPY):
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (tried python3.13, pyenv, /usr/bin)"; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

venv: $(VPY)
	$(VPY) -m pip install --quiet $(BUILD_DEPS) $(RUNTIME_DEPS) $(TEST_DEPS)

# Builds the package (compiled modules included) and installs it into .venv.
install: venv
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps .

demo: install
	cd /tmp && $(abspath $(VPY)) $(abspath examples/demo.py)

test: install
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider

# In-place development build: modules land beside their sources.
dev: venv
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELQUOR_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(VPY))
	cmake --build $(DEV_BUILD)

bench: install
	cd /tmp && $(abspath $(VPY)) $(abspath bench/run.py)

clean:
	rm -rf build $(VENV)
	find velquor_ai -name '*.so' -delete
