#!/bin/bash -eu
# Builds the fuzz harnesses (tests/fuzz) the way a fuzzing service asks:
# with its $CC, $CXX, $CFLAGS, $CXXFLAGS and $LIB_FUZZING_ENGINE, into $OUT.
# Run from the source tree (the service's WORKDIR).  $OUT gets, for each
# harness, the executable, its seed corpus (NAME_seed_corpus.zip, when zip is
# there) and the shared objects it loads: the simulator's libraries and the
# driver module, which each input loads afresh from beside the harness.
#
# Locally (tests/fuzz/clusterfuzzlite.sh does this):
#   CC=clang CXX=clang++ CFLAGS="-fsanitize=address,fuzzer-no-link" CXXFLAGS="$CFLAGS" \
#   LIB_FUZZING_ENGINE=-fsanitize=fuzzer OUT=/tmp/out WORK=/tmp/work .clusterfuzzlite/build.sh
: "${CC:?} ${CXX:?} ${CFLAGS?} ${CXXFLAGS?} ${LIB_FUZZING_ENGINE:?} ${OUT:?}"
WORK=${WORK:-$OUT/.build}
build=$WORK/frontpanel

cmake -S . -B "$build" -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
      -DCMAKE_C_FLAGS="$CFLAGS" -DCMAKE_CXX_FLAGS="$CXXFLAGS" -DCMAKE_BUILD_TYPE=Release \
      -DFP_FUZZ=ON -DFP_FUZZ_ENGINE="$LIB_FUZZING_ENGINE" '-DCMAKE_BUILD_RPATH=$ORIGIN'
harnesses=()
for src in tests/fuzz/fuzz_*.cpp; do
    harnesses+=("$(basename "$src" .cpp)")
done
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target "${harnesses[@]}"

mkdir -p "$OUT"
cp "$build"/lib*.so "$OUT/"
for h in "${harnesses[@]}"; do
    cp "$build/fuzz/$h" "$OUT/"
    if command -v zip >/dev/null; then
        rm -f "$OUT/${h}_seed_corpus.zip"
        zip -q -j "$OUT/${h}_seed_corpus.zip" tests/fuzz/corpus/"$h"/*
    fi
done
