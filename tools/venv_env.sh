# Sourced by the scripts once tools/setup.sh has made the project environment: its interpreter
# ($PY) and its tools (cmake, ninja) come first, and CMake builds with Ninja from there.
PY="$PWD/.venv/bin/python"
export PATH="$PWD/.venv/bin:$PATH"
export CMAKE_GENERATOR="${CMAKE_GENERATOR:-Ninja}"
