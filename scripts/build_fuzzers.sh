#!/usr/bin/env bash
# Builds the coverage-guided fuzz targets of fuzz/ with libFuzzer (Debian's clang-14, AddressSanitizer and
# UndefinedBehaviorSanitizer). The code under test (SQL parser and lexer, types, CSV reader, inline tables,
# configuration) is compiled with clang's coverage instrumentation; the rest of the engine is linked from the
# regular build in build/ (run scripts/build.sh first). Targets go to build-fuzz/.
#
#   scripts/build_fuzzers.sh && scripts/run_fuzzers.sh 3600    # an hour per target
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build}
OUT=${FUZZ_DIR:-build-fuzz}
CXX=${FUZZ_CXX:-clang++-14}
command -v "$CXX" >/dev/null || { echo "$CXX not found: apt-get install clang-14" >&2; exit 1; }
[ -f "$BUILD/compile_commands.json" ] || { echo "no $BUILD/compile_commands.json: run scripts/build.sh first" >&2; exit 1; }
mkdir -p "$OUT/obj"

SAN="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
INSTRUMENTED=(src/engine/sql/*.cpp src/engine/types.cpp src/engine/local/io/*.cpp cli/inline_table.cpp src/host/config.cpp)

# The flags of each file's regular compile command (include paths, definitions), with clang instead of g++.
flags_of() {
  python3 - "$BUILD/compile_commands.json" "$(pwd)/$1" <<'PY'
import json, shlex, sys
for c in json.load(open(sys.argv[1])):
    if c["file"] == sys.argv[2]:
        args = shlex.split(c["command"])
        while args and not args[0].startswith("-"): args = args[1:]  # the launcher and the compiler
        out, skip = [], False
        for a in args:
            if skip: skip = False; continue
            if a in ("-o", "-c", "-MF", "-MT"): skip = True; continue
            if a in ("-MD",) or a == c["file"] or a.endswith("ccache") or a.startswith("-fsanitize"): continue
            out.append(a)
        print(" ".join(shlex.quote(a) for a in out)); break
PY
}

objs=()
for src in "${INSTRUMENTED[@]}"; do
  obj="$OUT/obj/$(echo "$src" | tr '/' '_').o"
  flags=$(flags_of "$src")
  [ -n "$flags" ] || { echo "no compile command for $src" >&2; exit 1; }
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ]; then
    echo "instrumenting $src"
    # Relative include paths in the commands are relative to the build folder.
    (cd "$BUILD" && eval "$CXX" "$flags" -Wno-unknown-warning-option -O1 -g -fsanitize=fuzzer-no-link $SAN \
      -c "../$src" -o "../$obj")
  fi
  objs+=("$obj")
done

[ -z "${FUZZ_OBJECTS_ONLY:-}" ] || exit 0
[ -n "${FUZZ_NO_NINJA:-}" ] || ninja -C "$BUILD" norq-spark >/dev/null

inc="-I src -I . $(pkg-config --cflags libxxhash 2>/dev/null)"
# The libraries the command links (the engine's own archives, gRPC, protobuf, Arrow, Python...), as CMake lists them.
libs=$(python3 - "$BUILD" <<'PY'
import re, sys
build = sys.argv[1]
text = open(f"{build}/build.ninja").read()
block = text[text.index("build norq-spark:"):]
libs = re.search(r"^  LINK_LIBRARIES = (.*)$", block, re.M).group(1).split()
print(" ".join(f"{build}/{l}" if l.endswith(".a") and not l.startswith("/") else l for l in libs))
PY
)
for target in sql csv inline_table type config; do
  echo "linking $OUT/fuzz_$target"
  $CXX -std=c++20 -O1 -g $inc -fsanitize=fuzzer $SAN "fuzz/fuzz_$target.cpp" "${objs[@]}" $libs -o "$OUT/fuzz_$target"
done
