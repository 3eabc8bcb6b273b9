# The two commands of the README:
#   make demo  - lays out a stand-in machine and runs the plug-ins on it
#   make test  - installs what is missing, builds (plain and sanitizer) and
#                runs every test with CTest
.PHONY: all deps build build-asan test demo clean

# Debian packages the build and the tests need.
PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
            libsqlite3-dev libssl-dev qt6-base-dev libxml2-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  $(SUDO) apt-get update -qq && $(SUDO) DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake --preset default
	cmake --build --preset default

build-asan: deps
	cmake --preset asan
	cmake --build --preset asan

test: build build-asan
	ctest --preset default
	ctest --preset asan

demo: build
	scripts/demo.sh

clean:
	rm -rf build build-asan
