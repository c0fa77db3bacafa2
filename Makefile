# Short commands. Run as root on a bare Debian 12, they install what is missing.
BUILD := build
JOBS := $(shell nproc 2>/dev/null || echo 2)
# Most tests wait on Wine rather than compute: four at a time even on two cores.
TEST_JOBS := 4
PACKAGES := cmake make python3 g++-mingw-w64-x86-64-posix wine64 xvfb xdotool imagemagick fonts-ipafont-gothic googletest

.PHONY: all deps build test demo clean
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

test: build
	cmake --build $(BUILD) -j $(JOBS) --target all
	ctest --test-dir $(BUILD) --output-on-failure -j $(TEST_JOBS)

# A simulated ZR-45 that needs the repair, repaired by vadrel.exe /s.
# UI=1: the same machine interactively under Xvfb, screenshots in $(BUILD)/screenshots.
demo: build
	python3 sim/zr45.py --build $(BUILD) run repair $(if $(UI),--ui)

clean:
	rm -rf $(BUILD)
