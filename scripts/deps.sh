#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# Quiet and quick when everything is present. Run as root.
set -euo pipefail

packages=(cmake g++ make libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
          libtbb-dev libgtest-dev libbenchmark-dev
          python3-dev pybind11-dev python3-numpy python3-pytest
          pkg-config liblcms2-dev libexiv2-dev liblcms2-utils ffmpeg
          python3-dask python3-distributed)
if [[ "${COLORCAL_WITH_CLANG:-0}" == 1 ]]; then
  packages+=(clang libclang-rt-dev)
fi
if [[ "${COLORCAL_WITH_TIDY:-0}" == 1 ]]; then
  packages+=(clang-tidy)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
