# Sourced by scripts/sanitizers.sh and scripts/fuzz.sh: checks that the tools a sanitized run relies
# on are there, and stops the run with a message when one is missing, rather than letting it pass
# or fail for the wrong reason.
#
# The symbolizer matters most: without it a sanitizer report has no function names, and every
# suppression in scripts/lsan.supp and scripts/tsan.supp (which match function names) silently
# matches nothing. It is Debian's llvm-14 package (scripts/debian-packages.txt), which clang does
# not pull in; the sanitizers are pointed at its versioned binary, so nothing depends on what else
# happens to be on PATH. BRISNAK_LLVM_SYMBOLIZER names another one.

brisnak_symbolizer=${BRISNAK_LLVM_SYMBOLIZER:-/usr/lib/llvm-14/bin/llvm-symbolizer}

# require_tools TOOL...: every TOOL must be a command on PATH.
require_tools() {
    local tool
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "error: '$tool' is not installed. The packages are listed in" \
                "scripts/debian-packages.txt; bash scripts/setup.sh installs them." >&2
            exit 1
        fi
    done
}

# require_symbolizer: the symbolizer must run.
require_symbolizer() {
    if [[ ! -x $brisnak_symbolizer ]] || ! "$brisnak_symbolizer" --version >/dev/null 2>&1; then
        echo "error: no working llvm-symbolizer at $brisnak_symbolizer (Debian package llvm-14," \
            "listed in scripts/debian-packages.txt; bash scripts/setup.sh installs it)." >&2
        echo "Without it, sanitizer reports carry no function names and the suppressions in" \
            "scripts/lsan.supp and scripts/tsan.supp match nothing." >&2
        exit 1
    fi
}
