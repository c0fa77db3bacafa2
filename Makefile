# Short commands. Run as root on a bare Debian 12, they install what is missing.
BUILD := build
JOBS := $(shell nproc 2>/dev/null || echo 2)
# Most tests wait on Wine rather than compute: four at a time even on two cores.
TEST_JOBS := 4
PACKAGES := cmake make python3 g++-mingw-w64-x86-64-posix wine64 fonts-wine xvfb xdotool imagemagick fonts-ipafont-gothic googletest
# localedef and its sources: the split locale settings of the simulated machine.
PACKAGES += locales
# The release checks and make release: PE reading, Authenticode signing, throw-away certificates.
PACKAGES += python3-pefile osslsigncode openssl
# make format and the check make test runs first.
PACKAGES += clang-format
# make docs: the administrators' guide's picture of the checks.
PACKAGES += graphviz
# The C and C++ sources the formatter keeps.
FORMATTED = $(shell git ls-files '*.c' '*.cpp' '*.h' '*.hpp' 2>/dev/null)

.PHONY: all deps build test format format-check demo screenshots docs release clean
all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null || exit 1; \
	  else \
	    echo "missing packages; run as root: apt-get update && apt-get install -y $$missing"; exit 1; \
	  fi; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Fails on a source the formatter would change; make format changes it.
format-check: deps
	clang-format --dry-run --Werror $(FORMATTED)

format: deps
	clang-format -i $(FORMATTED)

# The tests' two Wine prefixes boot while the build runs: booting mostly waits.
test: format-check deps $(BUILD)/CMakeCache.txt
	sh tests/wine-prefix.sh $(abspath $(BUILD))/wineprefix & \
	  python3 sim/zr45.py --build $(BUILD) template >$(BUILD)/template.log 2>&1 & \
	  cmake --build $(BUILD) -j $(JOBS); status=$$?; wait; exit $$status
	ctest --test-dir $(BUILD) --output-on-failure -j $(TEST_JOBS)

# A simulated ZR-45 that needs the repair, repaired by vadrel.exe /s.
# UI=1: the same machine interactively under Xvfb, screenshots in $(BUILD)/screenshots.
# Only what the demo runs: the tool and the simulated machine's parts for that scenario.
DEMO_TARGETS := vadrel zr45pc zr45probe zr45wmi zr45_newdev zr45_drvstore zr45_wdfldr zr45_planted_drvstore tpm_images \
  $(if $(UI),zr45_boxprobe)
# The simulated machine's template prefix boots while they build.
demo: deps $(BUILD)/CMakeCache.txt
	python3 sim/zr45.py --build $(BUILD) template >$(BUILD)/template.log 2>&1 & \
	  cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS) && wait
	python3 sim/zr45.py --build $(BUILD) run repair $(if $(UI),--ui)

# The guide's pictures of the boxes, made again on the simulated machine: the confirmation and
# the final box in English and Japanese, cropped to the box, without time stamps.
screenshots: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS) zr45_boxprobe
	python3 sim/zr45.py --build $(BUILD) run interactive-repair --shots $(BUILD)/screenshots >/dev/null
	python3 sim/zr45.py --build $(BUILD) run interactive-repair-japanese --shots $(BUILD)/screenshots >/dev/null
	for shot in en:interactive-repair ja:interactive-repair-japanese; do for box in confirm:1 finished:2; do \
	  convert $(BUILD)/screenshots/$${shot#*:}-box$${box#*:}.png -trim +repage -strip \
	    -define png:exclude-chunks=date,time docs/pictures/$${box%:*}-$${shot%:*}.png || exit 1; \
	done; done
	ls -l docs/pictures/*.png

# The guide's picture of the order of the checks, drawn from its source.
docs: deps
	dot -Tpng -Gdpi=96 docs/checks.dot -o docs/pictures/checks.png

# dist/: vadrel.exe and its diagnostic build from a build folder of their own (signed when
# SIGN_CERT and SIGN_KEY are given: see docs/DEVELOPING.md), the administrators' guide with
# its pictures, the deployment scripts and SHA256SUMS.
RELEASE_BUILD := build-release
release: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
	cmake --build $(RELEASE_BUILD) -j $(JOBS) --target vadrel vadrel_diagnostic
	SIGN_CERT="$(SIGN_CERT)" SIGN_KEY="$(SIGN_KEY)" SIGN_PASS="$(SIGN_PASS)" SIGN_TIMESTAMP="$(SIGN_TIMESTAMP)" \
	  SIGN_CA="$(SIGN_CA)" sh tools/release.sh $(RELEASE_BUILD)/vadrel.exe $(RELEASE_BUILD)/diagnostic/vadrel.exe . dist

clean:
	rm -rf $(BUILD) $(RELEASE_BUILD) dist
