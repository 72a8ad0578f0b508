# Sourced by the benchmarks: sets $build to the folder holding the programs to time. The folder
# given as $1 is used as it is; without one, the named targets are built in Release in
# build/release. Needs $repo and $threads.
build_release() {
    local given=$1
    shift
    if [[ -n "$given" ]]; then
        build=$(realpath "$given")
    else
        build=$repo/build/release
        printf '\n== Building %s (Release) in %s\n' "$*" "$build"
        cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$build" -j "$threads" --target "$@"
    fi
}
